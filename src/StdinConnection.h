#pragma once

#include "CliExecutor.h"

/**
    The default transport: one JSON message per line on standard input, read on a thread of
    its own, and one line of JSON per reply or callback on standard output.
*/
class StdinConnection : public juce::Thread,
                        public CommunicationInterface,
                        private juce::Thread::Listener
{
public:
    /** Reads from the given file descriptor (standard input unless a test says otherwise). */
    explicit StdinConnection (QVAudioEngineV4::QVAudioEngine* engine, int inputFd = 0, FILE* output = stdout);
    ~StdinConnection() override;

    void run() override;
    void sendReturnMessage (juce::var message) override;

    /** Lets commands run. Lines read before this are held until start-up has finished. */
    void setReady();

    /** Runs one input line: parses it and executes it or answers that it is no JSON.
        Text that was not valid UTF-8 is always answered as no JSON. */
    void handleLine (const juce::String& line, bool isValidText = true);

    /** Writes the text's UTF-8 bytes and a newline, then flushes. */
    static void writeLine (FILE* stream, const juce::String& text);

    /** Makes text of a line's bytes; bytes that are not UTF-8 are kept as Latin-1 characters. */
    static juce::String decodeLine (const char* data, size_t size, bool* isValid = nullptr);

private:
    /** Wakes the reading thread at once when it is asked to exit. */
    void exitSignalSent() override;

    /** Reads the next line into the given string; false at the end of input or when asked to exit. */
    bool readLine (juce::MemoryOutputStream& line);

    juce::ReadWriteLock writeLock;
    int inputFd;
    int wakeFds[2] { -1, -1 };
    FILE* output;
    juce::WaitableEvent ready { true };
    juce::HeapBlock<char> readBuffer;
    int bufferedStart = 0, bufferedEnd = 0;
    bool endOfInput = false;

    static constexpr int readBufferSize = 65536;
};
