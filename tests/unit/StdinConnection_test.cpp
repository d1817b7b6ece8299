#include <gtest/gtest.h>

#include "StdinConnection.h"

#include <unistd.h>

namespace
{
    /** A stdin connection reading from a pipe the test writes into and writing into a temp file. */
    struct PipedConnection
    {
        PipedConnection()
        {
            EXPECT_EQ (::pipe (fds), 0);
            output = std::tmpfile();
            connection = std::make_unique<StdinConnection> (nullptr, fds[0], output);
        }

        ~PipedConnection()
        {
            connection->signalThreadShouldExit();
            connection->stopThread (2000);
            connection.reset();
            ::close (fds[1]);
            ::close (fds[0]);
            std::fclose (output);
        }

        void send (const char* text) { ASSERT_EQ (::write (fds[1], text, strlen (text)), (ssize_t) strlen (text)); }

        juce::String written()
        {
            std::fflush (output);
            const long size = std::ftell (output);
            std::string text ((size_t) size, '\0');
            std::rewind (output);
            const auto got = std::fread (text.data(), 1, (size_t) size, output);
            std::fseek (output, 0, SEEK_END);
            return juce::String::fromUTF8 (text.data(), (int) got);
        }

        juce::String waitForLines (int count)
        {
            for (int i = 0; i < 500; ++i)
            {
                auto text = written();
                if (text.retainCharacters ("\n").length() >= count)
                    return text;
                juce::Thread::sleep (10);
            }
            return written();
        }

        int fds[2];
        FILE* output;
        std::unique_ptr<StdinConnection> connection;
    };
}

TEST (StdinConnection, CommandsReadBeforeStartUpEndsWaitForIt)
{
    PipedConnection p;
    p.connection->startThread();
    p.send ("{\"command\":\"early\"}\n");

    juce::Thread::sleep (300);
    EXPECT_EQ (p.written(), "") << "a command ran before start-up had finished";

    p.connection->setReady();
    EXPECT_TRUE (p.waitForLines (1).startsWith ("{\"command\": \"early\""));
}

TEST (StdinConnection, StopsPromptlyWhileBlockedOnInput)
{
    PipedConnection p;
    p.connection->setReady();
    p.connection->startThread();
    juce::Thread::sleep (50);

    p.connection->signalThreadShouldExit();
    EXPECT_TRUE (p.connection->stopThread (2000)) << "the reading thread was not released";
}

TEST (StdinConnection, StopsPromptlyAfterEndOfInput)
{
    PipedConnection p;
    p.connection->setReady();
    p.connection->startThread();
    p.send ("{\"command\":\"only\"}");
    ::close (p.fds[1]);
    p.fds[1] = ::dup (p.fds[0]); // keep the destructor's close harmless

    EXPECT_TRUE (p.waitForLines (1).startsWith ("{\"command\": \"only\""));
    p.connection->signalThreadShouldExit();
    EXPECT_TRUE (p.connection->stopThread (2000));
}

TEST (StdinConnection, LongLinesArriveWhole)
{
    PipedConnection p;
    p.connection->setReady();
    p.connection->startThread();

    // Longer than the read buffer, so the line is put together from several reads.
    const auto payload = juce::String::repeatedString ("abcdefgh", 20000);
    const auto line = "{\"command\":\"big\",\"data\":\"" + payload + "\"}\n";
    p.send (line.toRawUTF8());

    const auto reply = p.waitForLines (1);
    EXPECT_TRUE (reply.contains (payload));
    EXPECT_TRUE (reply.contains ("\"error\": \"Command not understood\""));
}
