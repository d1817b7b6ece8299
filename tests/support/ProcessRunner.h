#pragma once

#include "common/QVJuce.h"

#include <sys/types.h>

namespace qvtest
{

/**
    Runs a program with pipes on its standard input, output and error, for driving the
    backend the way a front end does. Reads never block longer than the time-out given.
*/
class ProcessRunner
{
public:
    ProcessRunner() = default;
    ~ProcessRunner();

    /** Starts the program with its arguments (no shell) in the given working folder. */
    bool start (const juce::StringArray& arguments, const juce::File& workingDirectory = {});

    /** Writes text to the program's standard input, as UTF-8. */
    bool write (const juce::String& text);
    /** Writes bytes to the program's standard input as they are. */
    bool writeBytes (const char* data, size_t size);
    /** Closes the program's standard input (end of input). */
    void closeInput();

    /** The next line of standard output without its "\n"; false when none came in time or the output ended. */
    bool readLine (juce::String& line, int timeoutMs = 10000);

    /** Reads standard output until it ends or the time-out passes. */
    juce::String readAllOutput (int timeoutMs = 10000);

    /** Everything read from standard error so far (collected while waiting for output or exit). */
    juce::String getErrorOutput();

    /** Waits for the program to end; returns its exit status, or -1000 on time-out, -signal if killed. */
    int waitForExit (int timeoutMs = 10000);

    bool isRunning();
    void kill (int signal);

    pid_t getPid() const noexcept { return pid; }

private:
    bool pump (int timeoutMs);
    void drainError();

    pid_t pid = -1;
    int inFd = -1, outFd = -1, errFd = -1;
    juce::MemoryBlock outBuffer;
    juce::MemoryBlock errBuffer;
    bool outClosed = false, errClosed = false;
    int exitStatus = -1000;
    bool exited = false;
};

} // namespace qvtest
