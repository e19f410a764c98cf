#include "hal/Tracer.h"

#include "hal/CodeNames.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>

#include <syslog.h>
#if !defined(__APPLE__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace hal {

namespace {

// Indentation stops growing here, so that deep nesting still leaves the line readable.
constexpr UInt32 kMaximumIndentation = 10;

// The system-wide 64-bit ID of the calling thread, as the system log and debuggers show it.
UInt64 GetCurrentThreadID() {
#if defined(__APPLE__)
    UInt64 threadID = 0;
    pthread_threadid_np(nullptr, &threadID);
    return threadID;
#else
    // The kernel's thread ID is Linux's counterpart: unique system-wide while the thread lives.
    return static_cast<UInt64>(::syscall(SYS_gettid));
#endif
}

bool IsSuppressed(const UInt32 depth, const UInt32 suppressionDepth) {
    return suppressionDepth != 0 && depth >= suppressionDepth;
}

}  // namespace

Tracer::Tracer(Mode mode, Style style) : mMode(mode), mStyle(style) {
    mHasThreadLocalStateKey = pthread_key_create(&mThreadLocalStateKey, &DestroyThreadLocalState) == 0;
}

Tracer::~Tracer() {
    // Keys are a small per-process budget (a thousand or fewer), and every context that is given
    // no tracer makes one: giving the key back keeps a process that creates many tracers (a test
    // run) tracing correctly. This thread's record is freed here, since the key will no longer
    // free it; records of threads still alive are left behind (eight bytes each).
    if (!mHasThreadLocalStateKey) return;
    DestroyThreadLocalState(pthread_getspecific(mThreadLocalStateKey));
    pthread_setspecific(mThreadLocalStateKey, nullptr);
    pthread_key_delete(mThreadLocalStateKey);
}

void Tracer::OperationBeginImpl(const Operation& operation) {
    ThreadLocalState* state = GetThreadLocalState();
    if (state == nullptr) return;
    try {
        if (state->Depth >= kMaximumDepth) {
            Print(kUnpairedBeginMessage);
        } else {
            ++state->Depth;
        }
        if (IsSuppressed(state->Depth, state->SuppressionDepth)) return;
        if (ShouldIgnore(operation)) {
            state->SuppressionDepth = state->Depth;
            return;
        }
        Print(FormatOperationBegin(operation, state->Depth).c_str());
    } catch (...) {
        // Tracing must never change the outcome of the operation it describes.
    }
}

void Tracer::MessageImpl(const char* format, ...) {
    if (format == nullptr) return;
    ThreadLocalState* state = GetThreadLocalState();
    if (state == nullptr || IsSuppressed(state->Depth, state->SuppressionDepth)) return;
    char message[kMessageBufferSize] = {};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    try {
        Print(FormatMessage(message, state->Depth).c_str());
    } catch (...) {
    }
}

void Tracer::OperationEndImpl(const Operation& operation, int status) {
    ThreadLocalState* state = GetThreadLocalState();
    if (state == nullptr) return;
    if (IsSuppressed(state->Depth, state->SuppressionDepth)) {
        if (state->Depth == state->SuppressionDepth) {
            state->SuppressionDepth = 0;
        }
        --state->Depth;
        return;
    }
    try {
        Print(FormatOperationEnd(operation, status, state->Depth).c_str());
    } catch (...) {
    }
    if (state->Depth == 0) {
        try {
            Print(kUnpairedEndMessage);
        } catch (...) {
        }
    } else {
        --state->Depth;
    }
}

namespace {

// "|", a run of dashes, a space: the run grows with the depth up to the indentation limit.
void AppendDepthPrefix(std::string& line, UInt32 dashes) {
    line += '|';
    line.append(dashes, '-');
    line += ' ';
}

void AppendName(std::string& line, const char* name) {
    if (name != nullptr) line += name;
}

}  // namespace

std::string Tracer::FormatOperationBegin(const Operation& operation, UInt32 depth) {
    std::string line;
    if (mStyle == Style::Hierarchical) {
        AppendDepthPrefix(line, std::min(depth, kMaximumIndentation));
    }
    AppendName(line, operation.Name);
    line += " begin";
    if (operation.PropertyAddress != nullptr) {
        line += ' ';
        line += PropertySelectorToString(operation.PropertyAddress->mSelector);
    }
    if (operation.ClientPID != 0) {
        line += " clientPID=";
        line += std::to_string(operation.ClientPID);
    }
    line += " objectID=";
    line += std::to_string(operation.ObjectID);
    if (operation.PropertyAddress != nullptr) {
        line += " scope=";
        line += PropertyScopeToString(operation.PropertyAddress->mScope);
    }
    if (operation.InDataSize != 0 || operation.InData != nullptr) {
        line += " inSize=";
        line += std::to_string(operation.InDataSize);
    }
    if (operation.QualifierDataSize != 0 || operation.QualifierData != nullptr) {
        line += " qualSize=";
        line += std::to_string(operation.QualifierDataSize);
    }
    return line;
}

std::string Tracer::FormatMessage(const char* message, UInt32 depth) {
    std::string line;
    if (mStyle == Style::Hierarchical) {
        // One step deeper than the operation the message belongs to.
        AppendDepthPrefix(line, std::min(depth, kMaximumIndentation) + 1);
    }
    AppendName(line, message);
    return line;
}

std::string Tracer::FormatOperationEnd(const Operation& operation, SInt32 status, UInt32 depth) {
    std::string line;
    if (mStyle == Style::Hierarchical) {
        AppendDepthPrefix(line, std::min(depth, kMaximumIndentation));
    }
    AppendName(line, operation.Name);
    line += " end status=";
    line += StatusToString(status);
    if (status == 0 && operation.OutDataSize != nullptr) {
        line += " outSize=";
        line += std::to_string(*operation.OutDataSize);
    }
    return line;
}

void Tracer::Print(const char* line) {
    if (line == nullptr) return;
    // One call per line, so that lines of different threads never interleave.
    switch (mMode) {
    case Mode::Syslog:
        syslog(LOG_NOTICE, "[hal] [tid:%lu] %s", static_cast<unsigned long>(GetCurrentThreadID()), line);
        break;
    case Mode::Stderr:
        std::fprintf(stderr, "[hal] %s\n", line);
        break;
    default:
        break;
    }
}

bool Tracer::ShouldIgnore(const Operation&) { return false; }

Tracer::ThreadLocalState* Tracer::CreateThreadLocalState() {
    return new (std::nothrow) ThreadLocalState{0, 0};
}

Tracer::ThreadLocalState* Tracer::GetThreadLocalState() {
    ThreadLocalState* state = FindThreadLocalState();
    if (state != nullptr || !mHasThreadLocalStateKey) return state;
    state = CreateThreadLocalState();
    if (state != nullptr && pthread_setspecific(mThreadLocalStateKey, state) != 0) {
        DestroyThreadLocalState(state);
        state = nullptr;
    }
    return state;
}

Tracer::ThreadLocalState* Tracer::FindThreadLocalState() const {
    if (!mHasThreadLocalStateKey) return nullptr;
    return static_cast<ThreadLocalState*>(pthread_getspecific(mThreadLocalStateKey));
}

void Tracer::DestroyThreadLocalState(void* state) { delete static_cast<ThreadLocalState*>(state); }

}  // namespace hal
