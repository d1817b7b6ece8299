#pragma once

#include "common/QVJuce.h"

/**
    A small command-line parser: a table of named options, a parse of the joined
    command line against it with readable error texts, typed look-ups and a
    generated help text.
*/
class OptionsParser
{
public:
    enum OptionType
    {
        StringType = 0,
        FileType,
        IntType,
        DoubleType,
        BoolType
    };

    struct Option
    {
        juce::String name;
        juce::String shortName;
        juce::String longName;
        juce::String description;
        bool required = false;
        OptionType type = StringType;
        juce::var value;
        bool isSet = false;

        /** Stores a value and marks the option as given. Relative file paths are made absolute
            against the current working directory. */
        void setValue (juce::var v);

        /** The name used in error texts: "short | long", whichever is present, or the identifier. */
        juce::String getDisplayName() const;
    };

    OptionsParser() = default;

    /** Appends a new option; the caller fills in its long name, description and default. */
    Option* addOption (juce::String name, juce::String shortName, OptionType type, bool required = false);

    /** Parses the joined command line. Returns false and fills errors when anything is wrong. */
    bool parse (const juce::String& commandLine);

    juce::String getHelpText() const;

    Option* getOption (juce::StringRef name) const;
    bool isOptSet (juce::StringRef name) const;
    bool getOptBool (juce::StringRef name) const;
    int getOptInt (juce::StringRef name) const;
    juce::String getOptString (juce::StringRef name) const;
    juce::File getOptFile (juce::StringRef name) const;

    juce::String title;
    juce::String buildInfo;
    juce::OwnedArray<Option> options;
    juce::String errors;

private:
    void addError (const juce::String& text);

    JUCE_DECLARE_NON_COPYABLE (OptionsParser)
};
