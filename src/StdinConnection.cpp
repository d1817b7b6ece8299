#include "StdinConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

StdinConnection::StdinConnection (QVAudioEngineV4::QVAudioEngine* e, int fd, FILE* out)
    : juce::Thread ("Stdin Thread"),
      CommunicationInterface (e),
      inputFd (fd),
      output (out),
      readBuffer (readBufferSize)
{
    if (::pipe (wakeFds) == 0)
    {
        ::fcntl (wakeFds[0], F_SETFL, O_NONBLOCK);
        ::fcntl (wakeFds[1], F_SETFL, O_NONBLOCK);
    }

    addListener (this);
    attachToEngine();
}

StdinConnection::~StdinConnection()
{
    detachFromEngine();
    stopThread (2000);
    removeListener (this);

    for (int fd : wakeFds)
        if (fd >= 0)
            ::close (fd);
}

void StdinConnection::exitSignalSent()
{
    if (wakeFds[1] >= 0)
    {
        const char byte = 1;
        juce::ignoreUnused (::write (wakeFds[1], &byte, 1));
    }
}

void StdinConnection::setReady()
{
    ready.signal();
}

bool StdinConnection::readLine (juce::MemoryOutputStream& line)
{
    line.reset();

    for (;;)
    {
        for (int i = bufferedStart; i < bufferedEnd; ++i)
        {
            if (readBuffer[i] == '\n')
            {
                line.write (readBuffer + bufferedStart, (size_t) (i - bufferedStart));
                bufferedStart = i + 1;
                return true;
            }
        }

        line.write (readBuffer + bufferedStart, (size_t) (bufferedEnd - bufferedStart));
        bufferedStart = bufferedEnd = 0;

        // Wait for input or for the wake-up sent when the thread is asked to exit. The time-out
        // is only a safety net.
        for (;;)
        {
            if (threadShouldExit())
                return false;

            pollfd pfds[2] { { inputFd, POLLIN, 0 }, { wakeFds[0], POLLIN, 0 } };
            const int result = ::poll (pfds, wakeFds[0] >= 0 ? 2 : 1, 500);

            if (result > 0 && (pfds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                break;

            if (result < 0 && errno != EINTR)
            {
                endOfInput = true;
                break;
            }
        }

        if (endOfInput)
            return false;

        const auto bytesRead = ::read (inputFd, readBuffer.get(), (size_t) readBufferSize);

        if (bytesRead < 0 && (errno == EINTR || errno == EAGAIN))
            continue;

        if (bytesRead <= 0)
        {
            endOfInput = true;

            // A last line without a final newline still counts as a line.
            if (line.getDataSize() > 0)
                return true;

            return false;
        }

        bufferedEnd = (int) bytesRead;
    }
}

juce::String StdinConnection::decodeLine (const char* data, size_t size, bool* isValid)
{
    const bool hasNul = std::memchr (data, 0, size) != nullptr;
    const bool valid = ! hasNul && juce::CharPointer_UTF8::isValidString (data, (int) size);

    if (isValid != nullptr)
        *isValid = valid;

    if (valid)
        return juce::String::fromUTF8 (data, (int) size);

    // Not UTF-8 text: keep every byte visible (as its Latin-1 character) for the error reply,
    // so the reply itself is well-formed. Zero bytes are left out.
    juce::String text;
    text.preallocateBytes (size * 2);

    for (size_t i = 0; i < size; ++i)
        if (data[i] != 0)
            text += juce::String::charToString ((juce::juce_wchar) (unsigned char) data[i]);

    return text;
}

void StdinConnection::handleLine (const juce::String& line, bool isValidText)
{
    juce::var value;
    const auto result = isValidText ? juce::JSON::parse (line, value) : juce::Result::fail ("not UTF-8");

    if (result.failed() || value.isVoid())
    {
        auto* error = new juce::DynamicObject();
        error->setProperty ("error", "No valid JSON");
        error->setProperty ("origin", line);
        sendReturnMessage (juce::var (error));
        return;
    }

    executor->executeCommand (value);
}

void StdinConnection::run()
{
    juce::MemoryOutputStream line;

    while (! threadShouldExit())
    {
        if (endOfInput || ! readLine (line))
        {
            // Input has ended: nothing more is read or run, but the program goes on until it is
            // told to quit. Sleep until asked to exit.
            if (endOfInput)
                wait (-1);

            continue;
        }

        if (line.getDataSize() == 0)
            continue;

        // Commands run only once start-up has finished.
        while (! ready.wait (100))
            if (threadShouldExit())
                return;

        bool isValidText = true;
        const auto text = decodeLine (static_cast<const char*> (line.getData()), line.getDataSize(), &isValidText);
        handleLine (text, isValidText);
    }
}

void StdinConnection::writeLine (FILE* stream, const juce::String& text)
{
    std::fwrite (text.toRawUTF8(), 1, text.getNumBytesAsUTF8(), stream);
    std::fputc ('\n', stream);
    std::fflush (stream);
}

void StdinConnection::sendReturnMessage (juce::var message)
{
    const juce::ScopedWriteLock sl (writeLock);
    writeLine (output, juce::JSON::toString (message, true));
}
