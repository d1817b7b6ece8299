#include <gtest/gtest.h>

#include "StdinConnection.h"

#include <unistd.h>

// Replies written by the reading thread and callbacks written from other threads at the same
// time must each arrive as one whole line.
TEST (StdinWriters, RepliesAndCallbacksNeverShareALine)
{
    int inPipe[2], outPipe[2];
    ASSERT_EQ (::pipe (inPipe), 0);
    ASSERT_EQ (::pipe (outPipe), 0);

    FILE* output = ::fdopen (outPipe[1], "w");
    ASSERT_NE (output, nullptr);

    constexpr int commands = 200, callbackThreads = 3, callbacksPerThread = 200;
    const int expectedLines = commands + callbackThreads * callbacksPerThread;

    // Drain the output pipe on a thread of its own so writers never block on a full pipe.
    juce::StringArray lines;
    std::thread reader ([&]
    {
        juce::String pending;
        char buffer[4096];

        while (lines.size() < expectedLines)
        {
            const auto n = ::read (outPipe[0], buffer, sizeof (buffer));
            if (n <= 0) break;
            pending += juce::String::fromUTF8 (buffer, (int) n);

            int nl;
            while ((nl = pending.indexOfChar ('\n')) >= 0)
            {
                lines.add (pending.substring (0, nl));
                pending = pending.substring (nl + 1);
            }
        }
    });

    {
        StdinConnection connection (nullptr, inPipe[0], output);
        connection.setReady();
        connection.startThread();

        std::vector<std::thread> writers;

        for (int t = 0; t < callbackThreads; ++t)
        {
            writers.emplace_back ([&connection, t]
            {
                for (int i = 0; i < callbacksPerThread; ++i)
                    connection.executor->auxSliderChanged (t, (float) i / 127.0f);
            });
        }

        juce::String input;
        for (int i = 0; i < commands; ++i)
            input << "{\"command\":\"c" << i << "\",\"padding\":\"" << juce::String::repeatedString ("x", 300) << "\"}\n";

        ASSERT_EQ (::write (inPipe[1], input.toRawUTF8(), input.getNumBytesAsUTF8()), (ssize_t) input.getNumBytesAsUTF8());

        for (auto& w : writers)
            w.join();

        reader.join();
        connection.signalThreadShouldExit();
        connection.stopThread (2000);
    }

    ::close (inPipe[1]);
    ::close (inPipe[0]);
    std::fclose (output);
    ::close (outPipe[0]);

    ASSERT_EQ (lines.size(), expectedLines);

    int replies = 0, callbacks = 0;

    for (auto& line : lines)
    {
        juce::var parsed;
        ASSERT_TRUE (juce::JSON::parse (line, parsed).wasOk() && parsed.isObject()) << line;
        if (parsed.hasProperty ("callback")) ++callbacks; else ++replies;
    }

    EXPECT_EQ (replies, commands);
    EXPECT_EQ (callbacks, callbackThreads * callbacksPerThread);
}
