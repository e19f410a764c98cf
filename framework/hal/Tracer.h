#pragma once

// hal::Tracer: the single output facility of the framework. Objects announce the beginning and the
// end of each operation that the host can reach, and print free-form messages; the tracer indents
// the lines by the nesting depth of operations on the calling thread, can suppress an operation
// with everything nested in it, and sends the lines to standard error or the system log.
//
// Threads: one tracer is shared by every thread that enters the plug-in and takes no lock. Mode
// and style are fixed at construction; depth and suppression are kept per thread, so operations
// on different threads nest independently.
//
// Cost: with mode Disabled, OperationBegin, Message and OperationEnd are one load of the mode and
// one branch, inline in the caller: no call, no allocation, no formatting, no thread-local state.
// That is what keeps the traced real-time IO path clean. With any other mode every line allocates
// and calls into the system log or standard error, which is not real-time safe.
//
// Every step after the mode check is virtual, so a derived tracer can change the line layout
// (Format...), send lines elsewhere (Print) or filter operations (ShouldIgnore) without touching
// any caller. The tracer never reports a failure to its caller and never lets an exception out.
//
// Lifetime: construction takes one thread-specific key of the platform; destruction gives it back
// and frees the destroying thread's state. Destroy a tracer only when no thread traces through it.

#include "hal/PrintfFormat.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <pthread.h>

#include <cstddef>
#include <string>
#include <type_traits>

namespace hal {

class Tracer {
public:
    enum class Mode : UInt32 {
        Disabled = 0,  // nothing is formatted or printed
        Stderr = 1,    // lines go to standard error, prefixed "[hal] "
        Syslog = 2,    // lines go to the system log at notice priority
        // Any other value traces, but only an overriding Print gives it a destination.
    };

    enum class Style : UInt32 {
        Hierarchical = 0,  // lines start with a prefix showing the nesting depth
        Flat = 1,          // no prefix; any non-zero value behaves as Flat
    };

    // One traced operation. The caller builds it (normally on its stack), passes the same record
    // to OperationBegin and OperationEnd and keeps it, and what it points to, alive in between.
    struct Operation {
        enum Flag : UInt32 {
            ReadOnly = 1,  // a query that changes nothing
            Realtime = 2,  // runs on the real-time IO thread
        };

        const char* Name = nullptr;  // "Class::Method()", static text
        UInt32 Flags = 0;            // Flag bits, for ShouldIgnore
        AudioObjectID ObjectID = 0;
        SInt32 ClientPID = 0;  // 0 when no host client is involved
        const AudioObjectPropertyAddress* PropertyAddress = nullptr;
        UInt32 QualifierDataSize = 0;
        const void* QualifierData = nullptr;
        UInt32 InDataSize = 0;
        const void* InData = nullptr;
        UInt32* OutDataSize = nullptr;  // read by the end line, after the operation has finished
        void* OutData = nullptr;
    };

    Tracer(Mode mode, Style style);
    virtual ~Tracer();

    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    Mode GetMode() const { return mMode; }
    Style GetStyle() const { return mStyle; }

    // The three entry points test the mode here, inline, so that a disabled tracer costs its
    // callers a branch and never a call. An enabled tracer formats and writes: code on the
    // real-time IO thread stays real-time safe only while tracing is disabled.

    // Announces that `operation` starts on the calling thread.
    void OperationBegin(const Operation& operation) {
        if (mMode != Mode::Disabled) [[unlikely]] {
            OperationBeginImpl(operation);
        }
    }

    // Prints a printf-style message (cut to 1023 characters), one level deeper than the operation
    // open on the calling thread. The format must be a literal that matches the arguments.
    template <class... Arguments>
    void Message(PrintfFormat<std::type_identity_t<Arguments>...> format,
                 Arguments... arguments) {
        if (mMode != Mode::Disabled) [[unlikely]] {
            MessageImpl(format.GetText(), arguments...);
        }
    }

    // Announces that `operation` ends with `status` (0 is success). Call it on every return path
    // of an operation whose OperationBegin ran, with the same record.
    void OperationEnd(const Operation& operation, int status) {
        if (mMode != Mode::Disabled) [[unlikely]] {
            OperationEndImpl(operation, status);
        }
    }

    // Lines printed on their own, without a depth prefix, when begins and ends do not pair up.
    static constexpr const char* kUnpairedBeginMessage =
        "Tracer: detected unpaired OperationBegin/OperationEnd or infinite recursion";
    static constexpr const char* kUnpairedEndMessage =
        "Tracer: detected unpaired OperationBegin/OperationEnd";

    // Depth above which OperationBegin stops counting and warns instead.
    static constexpr UInt32 kMaximumDepth = 1000;
    // Size of the message buffer, terminator included.
    static constexpr std::size_t kMessageBufferSize = 1024;

protected:
    struct ThreadLocalState {
        UInt32 Depth;             // operations open on this thread
        UInt32 SuppressionDepth;  // depth of the ignored operation; 0 when none is
    };

    // The steps behind the entry points; they run only when the mode is not Disabled.
    virtual void OperationBeginImpl(const Operation& operation);
    virtual void MessageImpl(const char* format, ...);
    virtual void OperationEndImpl(const Operation& operation, int status);

    virtual std::string FormatOperationBegin(const Operation& operation, UInt32 depth);
    virtual std::string FormatMessage(const char* message, UInt32 depth);
    virtual std::string FormatOperationEnd(const Operation& operation, SInt32 status, UInt32 depth);

    // Writes one finished line to the destination of the mode.
    virtual void Print(const char* line);

    // Whether `operation`, and everything traced inside it on the same thread, is silent.
    virtual bool ShouldIgnore(const Operation& operation);

    // A zeroed record, or null when memory is exhausted.
    static ThreadLocalState* CreateThreadLocalState();
    // The calling thread's record, created and registered on first use; null only when the
    // platform refuses (no memory, or no thread-specific key), and then nothing is traced.
    ThreadLocalState* GetThreadLocalState();
    // The calling thread's record if it has one; never creates it.
    ThreadLocalState* FindThreadLocalState() const;
    // Frees a record; the thread-specific key runs it when a thread exits.
    static void DestroyThreadLocalState(void* state);

private:
    const Mode mMode;
    const Style mStyle;
    pthread_key_t mThreadLocalStateKey{};
    bool mHasThreadLocalStateKey = false;
};

}  // namespace hal
