#include "optionsParser.h"

namespace
{
    const char* placeholderFor (OptionsParser::OptionType type)
    {
        switch (type)
        {
            case OptionsParser::StringType: return "<name>";
            case OptionsParser::FileType:   return "<filename>";
            case OptionsParser::IntType:    return "<number>";
            case OptionsParser::DoubleType: return "<number>";
            case OptionsParser::BoolType:   break;
        }

        return "";
    }
}

void OptionsParser::Option::setValue (juce::var v)
{
    isSet = true;

    if (type == FileType)
    {
        const auto text = v.toString();

        if (! text.startsWith ("/") && ! text.startsWith ("~"))
        {
            value = juce::File::getCurrentWorkingDirectory().getChildFile (text).getFullPathName();
            return;
        }
    }

    value = v;
}

juce::String OptionsParser::Option::getDisplayName() const
{
    if (shortName.isNotEmpty() && longName.isNotEmpty())
        return shortName + " | " + longName;

    if (shortName.isNotEmpty())
        return shortName;

    if (longName.isNotEmpty())
        return longName;

    return name;
}

OptionsParser::Option* OptionsParser::addOption (juce::String name, juce::String shortName, OptionType type, bool required)
{
    auto* option = new Option();
    option->name = name;
    option->shortName = shortName;
    option->type = type;
    option->required = required;
    return options.add (option);
}

void OptionsParser::addError (const juce::String& text)
{
    if (errors.isNotEmpty())
        errors << "\r\n";

    errors << text;
}

bool OptionsParser::parse (const juce::String& commandLine)
{
    errors.clear();

    juce::StringArray tokens;
    tokens.addTokens (commandLine, " \n\r\t", "\"");

    bool ok = true;
    bool onlyPositionals = false;

    auto fail = [this, &ok] (const juce::String& text)
    {
        ok = false;
        addError (text);
    };

    for (int i = 0; i < tokens.size(); ++i)
    {
        const auto& token = tokens[i];

        if (! onlyPositionals && token == "--")
        {
            onlyPositionals = true;
            continue;
        }

        Option* option = nullptr;

        if (! onlyPositionals && token.startsWith ("--"))
        {
            const auto wanted = token.substring (2);

            for (auto* o : options)
                if (o->longName == wanted) { option = o; break; }
        }
        else if (! onlyPositionals && token.startsWith ("-"))
        {
            const auto wanted = token.substring (1);

            for (auto* o : options)
                if (o->shortName == wanted) { option = o; break; }
        }
        else
        {
            for (auto* o : options)
            {
                if (o->shortName.isEmpty() && o->longName.isEmpty() && ! o->isSet)
                {
                    option = o;
                    break;
                }
            }

            if (option == nullptr)
                fail ("Unknown option: " + token);
            else
                option->setValue (token);

            continue;
        }

        if (option == nullptr)
        {
            fail ("Unknown option: " + token);
            continue;
        }

        // An option given a second time is ignored, value and all; the first one counts.
        if (option->isSet)
            continue;

        if (option->type == BoolType)
        {
            option->setValue (true);
            continue;
        }

        if (i + 1 >= tokens.size())
        {
            fail ((option->type == FileType ? "Missing path for argument " : "Missing value for argument ") + token);
            continue;
        }

        option->setValue (tokens[++i]);
    }

    for (auto* o : options)
        if (o->required && ! o->isSet)
            fail ("Argument is required: " + o->getDisplayName());

    return ok;
}

juce::String OptionsParser::getHelpText() const
{
    juce::String text = title;

    for (auto* o : options)
    {
        if (text.isNotEmpty())
            text << "\r\n";

        juce::String line;

        if (o->shortName.isNotEmpty())
            line << "  -" << o->shortName << "  ";
        else
            line << juce::String::repeatedString (" ", 6);

        if (o->longName.isNotEmpty())
            line << "--" << o->longName;

        line << " " << placeholderFor (o->type);

        if (o->description.isNotEmpty())
        {
            line = line.paddedRight (' ', 30);
            line << o->description;
        }

        if (! o->value.isVoid() && ! o->isSet)
            line << " (default: " << o->value.toString() << ")";

        text << line;
    }

    if (buildInfo.isNotEmpty())
    {
        if (text.isNotEmpty())
            text << "\r\n";

        text << buildInfo;
    }

    return text;
}

OptionsParser::Option* OptionsParser::getOption (juce::StringRef name) const
{
    for (auto* o : options)
        if (o->name == name)
            return o;

    return nullptr;
}

bool OptionsParser::isOptSet (juce::StringRef name) const
{
    auto* o = getOption (name);
    return o != nullptr && o->isSet;
}

bool OptionsParser::getOptBool (juce::StringRef name) const
{
    auto* o = getOption (name);
    return o != nullptr && static_cast<bool> (o->value);
}

int OptionsParser::getOptInt (juce::StringRef name) const
{
    auto* o = getOption (name);
    return o != nullptr ? static_cast<int> (o->value) : 0;
}

juce::String OptionsParser::getOptString (juce::StringRef name) const
{
    auto* o = getOption (name);
    return o != nullptr ? o->value.toString() : juce::String();
}

juce::File OptionsParser::getOptFile (juce::StringRef name) const
{
    auto* o = getOption (name);
    return o != nullptr ? juce::File (o->value.toString()) : juce::File();
}
