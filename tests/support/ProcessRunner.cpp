#include "ProcessRunner.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qvtest
{

ProcessRunner::~ProcessRunner()
{
    if (pid > 0 && isRunning())
    {
        kill (SIGKILL);
        waitForExit (5000);
    }

    for (int fd : { inFd, outFd, errFd })
        if (fd >= 0)
            ::close (fd);
}

bool ProcessRunner::start (const juce::StringArray& arguments, const juce::File& workingDirectory)
{
    int inPipe[2], outPipe[2], errPipe[2];

    if (::pipe (inPipe) != 0 || ::pipe (outPipe) != 0 || ::pipe (errPipe) != 0)
        return false;

    std::vector<std::string> argStrings;
    for (auto& a : arguments)
        argStrings.push_back (a.toStdString());

    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back (a.data());
    argv.push_back (nullptr);

    const auto dir = workingDirectory.getFullPathName().toStdString();

    pid = ::fork();

    if (pid == 0)
    {
        ::dup2 (inPipe[0], 0);
        ::dup2 (outPipe[1], 1);
        ::dup2 (errPipe[1], 2);

        for (int fd : { inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1] })
            ::close (fd);

        if (! dir.empty() && ::chdir (dir.c_str()) != 0)
            ::_exit (127);

        ::execv (argv[0], argv.data());
        ::_exit (127);
    }

    ::close (inPipe[0]);
    ::close (outPipe[1]);
    ::close (errPipe[1]);

    inFd = inPipe[1];
    outFd = outPipe[0];
    errFd = errPipe[0];

    ::fcntl (outFd, F_SETFL, O_NONBLOCK);
    ::fcntl (errFd, F_SETFL, O_NONBLOCK);
    ::signal (SIGPIPE, SIG_IGN);

    return pid > 0;
}

bool ProcessRunner::write (const juce::String& text)
{
    return writeBytes (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

bool ProcessRunner::writeBytes (const char* data, size_t remaining)
{
    if (inFd < 0)
        return false;

    while (remaining > 0)
    {
        const auto written = ::write (inFd, data, remaining);

        if (written <= 0)
            return false;

        data += written;
        remaining -= (size_t) written;
    }

    return true;
}

void ProcessRunner::closeInput()
{
    if (inFd >= 0)
    {
        ::close (inFd);
        inFd = -1;
    }
}

bool ProcessRunner::pump (int timeoutMs)
{
    pollfd fds[2];
    int n = 0;

    if (! outClosed) fds[n++] = { outFd, POLLIN, 0 };
    if (! errClosed) fds[n++] = { errFd, POLLIN, 0 };

    if (n == 0)
        return false;

    if (::poll (fds, (nfds_t) n, timeoutMs) <= 0)
        return false;

    bool gotSomething = false;

    for (int i = 0; i < n; ++i)
    {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;

        char buffer[4096];
        const auto bytes = ::read (fds[i].fd, buffer, sizeof (buffer));
        const bool isOut = fds[i].fd == outFd;

        if (bytes > 0)
        {
            (isOut ? outBuffer : errBuffer).append (buffer, (size_t) bytes);
            gotSomething = true;
        }
        else if (bytes == 0)
        {
            (isOut ? outClosed : errClosed) = true;
            gotSomething = true;
        }
    }

    return gotSomething;
}

bool ProcessRunner::readLine (juce::String& line, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    for (;;)
    {
        auto* data = static_cast<const char*> (outBuffer.getData());

        for (size_t i = 0; i < outBuffer.getSize(); ++i)
        {
            if (data[i] == '\n')
            {
                line = juce::String::fromUTF8 (data, (int) i);
                outBuffer.removeSection (0, i + 1);
                return true;
            }
        }

        const auto now = juce::Time::getMillisecondCounter();

        if (outClosed || now >= deadline)
            return false;

        pump ((int) (deadline - now));
    }
}

juce::String ProcessRunner::readAllOutput (int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! outClosed && juce::Time::getMillisecondCounter() < deadline)
        pump ((int) (deadline - juce::Time::getMillisecondCounter()));

    auto text = juce::String::fromUTF8 (static_cast<const char*> (outBuffer.getData()), (int) outBuffer.getSize());
    outBuffer.reset();
    return text;
}

void ProcessRunner::drainError()
{
    while (! errClosed && pump (0)) {}
}

juce::String ProcessRunner::getErrorOutput()
{
    drainError();
    return juce::String::fromUTF8 (static_cast<const char*> (errBuffer.getData()), (int) errBuffer.getSize());
}

int ProcessRunner::waitForExit (int timeoutMs)
{
    if (exited)
        return exitStatus;

    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    for (;;)
    {
        int status = 0;
        const auto result = ::waitpid (pid, &status, WNOHANG);

        if (result == pid)
        {
            exited = true;
            exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : -WTERMSIG (status);
            return exitStatus;
        }

        if (juce::Time::getMillisecondCounter() >= deadline)
            return -1000;

        // Keep the pipes drained so the program never blocks on a full pipe while we wait.
        if (! pump (20))
            juce::Thread::sleep (5);
    }
}

bool ProcessRunner::isRunning()
{
    return waitForExit (0) == -1000;
}

void ProcessRunner::kill (int signal)
{
    if (pid > 0 && ! exited)
        ::kill (pid, signal);
}

} // namespace qvtest
