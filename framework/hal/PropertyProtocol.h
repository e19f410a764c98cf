#pragma once

// The property protocol that every object class answers the host with, declared once per
// property. A class lists the properties it answers itself in one table, one row each: the
// selector, the name that its trace messages use, the kind of data with the getter that reads it
// (and the setter that takes it, when the host may set it), and the scopes in which HasProperty
// admits it:
//
//     constexpr auto kProperties = PropertyProtocol::MakeTable<Device>({
//         {kAudioObjectPropertyName,              "Name",              Text<&Device::GetName>},
//         {kAudioDevicePropertyLatency,           "Latency",           Value<&Device::GetLatency>, InputOrOutput},
//         {kAudioDevicePropertyNominalSampleRate, "NominalSampleRate",
//          Value<&Device::GetNominalSampleRate, &Device::SetNominalSampleRateAsync>},
//     });
//
// hal::Object's answering steps (AnswerHasProperty and its four siblings) consult the table for
// all five property operations and hand everything it does not list to the class's base.
//
// The kinds of data. A getter is a member function or a captureless lambda taking the object
// (and, if it wants it, the scope of the host's address), except for Qualified and Conversion,
// whose getter is a constant member function of one parameter; a setter takes the object and
// the decoded value and returns a status. Getters and setters are called through the object, so
// a derived class's overrides answer.
//
//   Value<Getter[, Setter]>  One fixed-size value: a number, a bool (0 or 1 as a UInt32), an enum
//                            (as its underlying type), or a plain record. A buffer smaller than the
//                            value is refused; a set must bring exactly its size.
//   Text<Getter>, URL<Getter>  A UTF-8 string handed out as a new CFStringRef or CFURLRef, which
//                            the host releases. Text that does not convert is refused with
//                            kAudioHardwareUnspecifiedError and nothing is written, neither the
//                            size nor the data: the host must never receive a null reference as a
//                            value.
//   List<Getter[, Text]>     A std::vector or std::array of plain elements: as many whole elements
//                            as the buffer holds; a short buffer cuts the list, it never fails.
//                            Text gives the list's text for the trace (default FormatArray;
//                            DescribeElided{} writes "...").
//   Bytes<Getter>            A variable-length record (std::vector<UInt8>, such as one
//                            AudioChannelLayout): all of it, or kAudioHardwareBadPropertySizeError.
//   Qualified<Getter>        One fixed-size value computed from the host's qualifier, which the
//                            getter takes as its second parameter: a std::string parameter takes a
//                            CFStringRef qualifier (anything else reads as the empty string), a
//                            plain type its bytes. A qualifier of another size, or none, is refused
//                            with kAudioHardwareBadPropertySizeError.
//   Conversion<Getter>       One fixed-size value computed from the value of the same type that the
//                            host leaves in the data buffer, which the result overwrites.
//
// The messages name the row: "returning <Name>=<text>", "setting <Name>=<text>", "obtained input
// <Name>=...", "obtained qualifier <Name>=...", and for lists and records "returning
// <Name>=<text> (<written>/<available>)". The text of a value is made only when the tracer prints.
//
// Threads and cost: the tables are constant and the steps keep no state, so any thread may answer
// at once. Finding a row costs a multiplication and a comparison (Table). With tracing disabled,
// answering a Value or Conversion property, or a Qualified one with a plain qualifier, allocates
// nothing beyond what its getter does, and a trace step costs one test of the tracer's mode. The
// other kinds copy their strings and lists: they belong on the host's property threads, never on
// the real-time IO thread.

#include "hal/Convert.h"
#include "hal/PrintfFormat.h"
#include "hal/Tracer.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace hal::PropertyProtocol {

// ---- The shared frame and the checks in front of the host's buffers ----------------------------

// Calls OperationBegin, runs `work` (which returns the operation's status) and calls OperationEnd
// with that status. Whatever `work` throws ends the operation with kAudioHardwareUnspecifiedError
// and a message: nothing may unwind into the host.
template <class Work>
OSStatus RunTraced(Tracer& tracer, const Tracer::Operation& operation, Work&& work) noexcept
{
    tracer.OperationBegin(operation);
    OSStatus status = kAudioHardwareUnspecifiedError;
    try {
        status = std::forward<Work>(work)();
    } catch (const std::exception& exception) {
        tracer.Message("caught exception: %s", exception.what());
    } catch (...) {
        tracer.Message("caught unknown exception");
    }
    tracer.OperationEnd(operation, status);
    return status;
}

enum class OutputBuffer {
    TooSmall,  // refused: answer kAudioHardwareBadPropertySizeError
    Absent,    // no data buffer: answer success without writing
    Ready,     // write the value
};

namespace Detail {

// A buffer smaller than the answer is refused before anything is written.
inline bool IsTooSmall(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize)
{
    if (inDataSize < valueSize) {
        tracer.Message("not enough space: need %u, avail %u", valueSize, inDataSize);
        return true;
    }
    return false;
}

inline void StoreSize(Tracer& tracer, UInt32 size, UInt32* outDataSize)
{
    if (outDataSize != nullptr) {
        *outDataSize = size;
    } else {
        tracer.Message("size buffer is null");
    }
}

} // namespace Detail

// The host offers `inDataSize` bytes for a value of `valueSize` bytes. A smaller buffer is refused
// ("not enough space: need %u, avail %u"). Otherwise the value's size goes to `outDataSize`, or
// "size buffer is null" is traced and the read goes on; a null `outData` traces "data buffer is
// null".
// Inline: every fixed-size read passes here.
inline OutputBuffer CheckOutputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, UInt32* outDataSize,
                                      const void* outData)
{
    if (Detail::IsTooSmall(tracer, valueSize, inDataSize)) {
        return OutputBuffer::TooSmall;
    }
    Detail::StoreSize(tracer, valueSize, outDataSize);
    if (outData == nullptr) {
        tracer.Message("data buffer is null");
        return OutputBuffer::Absent;
    }
    return OutputBuffer::Ready;
}

// The host sends `inDataSize` bytes at `inData` for a value of `valueSize` bytes. 0 when the value
// can be read; kAudioHardwareBadPropertySizeError for any other size ("invalid size: should be %u,
// got %u"), since a longer buffer cannot be what the host meant either; kAudioHardwareIllegalOperationError
// for null data ("input buffer is null").
OSStatus CheckInputBuffer(Tracer& tracer, UInt32 valueSize, UInt32 inDataSize, const void* inData);

// The host's buffers carry no alignment guarantee, so values cross them byte-wise.
template <class T>
T ReadValue(const void* data) noexcept
{
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

template <class T>
void WriteValue(void* data, const T& value) noexcept
{
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(data, &value, sizeof value);
}

inline bool IsTracing(const Tracer& tracer) noexcept
{
    return tracer.GetMode() != Tracer::Mode::Disabled;
}

// ---- Text of values, for the trace ---------------------------------------------------------------

// printf's "%f": six decimals, in the C library's numeric locale, as the tracer prints numbers.
std::string FormatFixed(Float64 value);

// The text of one value in a message: a bool as "1" or "0", integers and enums in decimal,
// floating-point numbers with six decimals, text as it is, platform records as FormatValue
// writes them.
template <class T>
std::string Describe(const T& value)
{
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "1" : "0";
    } else if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return FormatFixed(static_cast<Float64>(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        return value;
    } else {
        return Convert::FormatValue(value);
    }
}

// The text of a list in a message: Convert::FormatArray.
struct DescribeList
{
    template <class Element>
    std::string operator()(std::span<const Element> list) const
    {
        return Convert::FormatArray(list);
    }
};

// A list whose elements say nothing on their own (a pair of channel numbers): "...".
struct DescribeElided
{
    template <class Element>
    std::string operator()(std::span<const Element> /*list*/) const
    {
        return "...";
    }
};

// ---- Rows ------------------------------------------------------------------------------------------

// The scopes in which HasProperty admits a property. Only HasProperty looks: the other operations
// answer in every scope.
enum class ScopeRule : UInt8 {
    Any,
    InputOrOutput,  // kAudioObjectPropertyScopeInput and kAudioObjectPropertyScopeOutput only
};

// What the host passed to GetPropertyData, besides the object and the client.
struct ReadRequest
{
    const AudioObjectPropertyAddress* Address;  // never null here
    UInt32 QualifierDataSize;
    const void* QualifierData;
    UInt32 InDataSize;
    UInt32* OutDataSize;
    void* OutData;
};

// The steps that answer one kind of data, bound to a row's getter and setter when the table is
// compiled. Each traces its messages inside the calling operation and returns its status.
template <class Owner>
struct Kind
{
    // The size GetPropertyDataSize reports.
    UInt32 (*Size)(const Owner& owner, const AudioObjectPropertyAddress& address);
    OSStatus (*Read)(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request);
    // Null for a property the host cannot set.
    OSStatus (*Write)(Owner& owner, Tracer& tracer, const char* name, UInt32 inDataSize, const void* inData);
};

// One property of a class: see the top of this file.
template <class Owner>
struct Property
{
    AudioObjectPropertySelector Selector;
    const char* Name;  // static text
    Kind<Owner> Data;
    ScopeRule Scope = ScopeRule::Any;
};

namespace Detail {
// Called only when a table lists a selector twice: being non-constexpr, it stops the table's
// compile-time construction, so the compiler reports the table.
void SelectorDeclaredTwice();
} // namespace Detail

// A class's rows, with an index built while compiling: a multiplicative hash of the selector into
// at least four slots per row, with a multiplier chosen so that no two rows share a slot. Finding
// a row is one multiplication, one shift and one comparison, whatever the row's place.
template <class Owner, std::size_t Count>
class Table
{
public:
    static_assert(Count > 0 && Count < 255, "a slot holds a row's index in one byte, 255 marks an empty slot");

    consteval explicit Table(const std::array<Property<Owner>, Count>& rows) : mRows(rows)
    {
        for (std::size_t index = 0; index < Count; ++index) {
            for (std::size_t other = index + 1; other < Count; ++other) {
                if (rows[index].Selector == rows[other].Selector) {
                    Detail::SelectorDeclaredTwice();
                }
            }
        }
        // Odd multipliers from the golden ratio's; with four slots per row about one in twenty
        // is free of collisions.
        for (mMultiplier = 0x9E3779B1u;; mMultiplier += 2) {
            mSlots.fill(kEmpty);
            bool isFree = true;
            for (std::size_t index = 0; index < Count && isFree; ++index) {
                UInt8& slot = mSlots[SlotOf(rows[index].Selector)];
                isFree = slot == kEmpty;
                slot = static_cast<UInt8>(index);
            }
            if (isFree) {
                break;
            }
        }
    }

    // The row of `selector`, or null when the class does not answer it itself.
    constexpr const Property<Owner>* Find(AudioObjectPropertySelector selector) const noexcept
    {
        const UInt8 index = mSlots[SlotOf(selector)];
        if (index == kEmpty || mRows[index].Selector != selector) {
            return nullptr;
        }
        return &mRows[index];
    }

    constexpr const std::array<Property<Owner>, Count>& GetRows() const noexcept { return mRows; }

private:
    static constexpr UInt8 kEmpty = 0xFF;
    static constexpr unsigned kSlotBits = [] {
        unsigned bits = 2;
        while ((std::size_t{1} << bits) < 4 * Count) {
            ++bits;
        }
        return bits;
    }();

    constexpr std::size_t SlotOf(AudioObjectPropertySelector selector) const noexcept
    {
        return static_cast<UInt32>(selector * mMultiplier) >> (32 - kSlotBits);
    }

    std::array<Property<Owner>, Count> mRows;
    UInt32 mMultiplier = 0;
    std::array<UInt8, std::size_t{1} << kSlotBits> mSlots{};
};

// Builds a class's table from its rows: MakeTable<Device>({{...}, {...}}). A selector listed
// twice does not compile.
template <class Owner, std::size_t Count>
consteval Table<Owner, Count> MakeTable(Property<Owner> (&&rows)[Count])
{
    return Table<Owner, Count>(std::to_array(std::move(rows)));
}

// The steps of the five operations once a row is found; they trace inside the calling operation.
// HasProperty: true when the row's scope rule admits `scope`.
bool AnswerHasProperty(Tracer& tracer, ScopeRule rule, AudioObjectPropertyScope scope);
// IsPropertySettable: stores `isSettable` unless the answer pointer is null; 0.
OSStatus AnswerIsPropertySettable(Tracer& tracer, bool isSettable, Boolean* outIsSettable);
// GetPropertyDataSize: stores the row's current size unless the size pointer is null; 0.
template <class Owner>
OSStatus AnswerGetPropertyDataSize(const Property<Owner>& property, const Owner& owner, Tracer& tracer,
                                   const AudioObjectPropertyAddress& address, UInt32* outDataSize)
{
    if (outDataSize == nullptr) {
        tracer.Message("output buffer is null");
        return kAudioHardwareNoError;
    }
    const UInt32 size = property.Data.Size(owner, address);
    *outDataSize = size;
    tracer.Message("returning PropertySize=%u", size);
    return kAudioHardwareNoError;
}

// ---- The kinds of data -------------------------------------------------------------------------------

namespace Detail {

// Calls a row's getter, with the address's scope when it takes one.
template <auto Getter, class Owner>
decltype(auto) Fetch(const Owner& owner, const AudioObjectPropertyAddress& address)
{
    if constexpr (std::is_invocable_v<decltype(Getter), const Owner&>) {
        return std::invoke(Getter, owner);
    } else {
        return std::invoke(Getter, owner, address.mScope);
    }
}

template <auto Getter, class Owner>
using FetchedType = std::remove_cvref_t<decltype(Fetch<Getter>(std::declval<const Owner&>(),
                                                               std::declval<const AudioObjectPropertyAddress&>()))>;

// How a value crosses the host boundary: a bool as a UInt32 0 or 1, an enum as its underlying
// type, anything else as itself.
template <class T>
struct Wire
{
    using Type = T;
    static Type Encode(const T& value) noexcept { return value; }
    static T Decode(const Type& value) noexcept { return value; }
};

template <>
struct Wire<bool>
{
    using Type = UInt32;
    static Type Encode(bool value) noexcept { return value ? 1 : 0; }
    static bool Decode(Type value) noexcept { return value != 0; }
};

template <class T>
    requires std::is_enum_v<T>
struct Wire<T>
{
    using Type = std::underlying_type_t<T>;
    static Type Encode(T value) noexcept { return static_cast<Type>(value); }
    static T Decode(Type value) noexcept { return static_cast<T>(value); }
};

template <class T>
constexpr UInt32 kWireSize = sizeof(typename Wire<T>::Type);

// Out of line: the text is made only when the tracer prints, and its code stays off the path.
template <class T>
[[gnu::noinline]] void TraceDescribed(Tracer& tracer, PrintfFormat<const char*, const char*> message, const char* name,
                                      const T& value)
{
    tracer.Message(message, name, Describe(value).c_str());
}

template <class T>
void TraceValue(Tracer& tracer, PrintfFormat<const char*, const char*> message, const char* name, const T& value)
{
    if (IsTracing(tracer)) [[unlikely]] {
        TraceDescribed(tracer, message, name, value);
    }
}

// One fixed-size value of type `T`: once the buffer has room for it and a data pointer,
// `make(value)` makes it and returns 0, or refuses the read with a status; the value is then
// written and traced.
template <class T, class Make>
OSStatus WriteFixedValue(Tracer& tracer, const char* name, const ReadRequest& request, Make&& make)
{
    switch (CheckOutputBuffer(tracer, kWireSize<T>, request.InDataSize, request.OutDataSize, request.OutData)) {
    case OutputBuffer::TooSmall:
        return kAudioHardwareBadPropertySizeError;
    case OutputBuffer::Absent:
        return kAudioHardwareNoError;
    case OutputBuffer::Ready:
        break;
    }
    T value{};
    if (const OSStatus status = std::forward<Make>(make)(value); status != kAudioHardwareNoError) {
        return status;
    }
    WriteValue(request.OutData, Wire<T>::Encode(value));
    TraceValue(tracer, "returning %s=%s", name, value);
    return kAudioHardwareNoError;
}

// Reads one value of `T` from the host's data, traces it and hands it to `set`, whose failure is
// traced as "setter failed".
template <class T, class Set>
OSStatus TakeFixedValue(Tracer& tracer, const char* name, UInt32 inDataSize, const void* inData, Set&& set)
{
    if (const OSStatus status = CheckInputBuffer(tracer, kWireSize<T>, inDataSize, inData);
        status != kAudioHardwareNoError) {
        return status;
    }
    const T value = Wire<T>::Decode(ReadValue<typename Wire<T>::Type>(inData));
    TraceValue(tracer, "setting %s=%s", name, value);
    const OSStatus status = std::forward<Set>(set)(value);
    if (status != kAudioHardwareNoError) {
        tracer.Message("setter failed");
    }
    return status;
}

// Lists: as many whole elements as the buffer holds. `describe` makes the list's text when traced.
template <class Element, class DescribeText>
OSStatus WriteList(Tracer& tracer, const char* name, std::span<const Element> list, DescribeText describe,
                   const ReadRequest& request)
{
    static_assert(std::is_trivially_copyable_v<Element>);
    constexpr UInt32 kElementSize = sizeof(Element);
    const UInt32 length = static_cast<UInt32>(list.size());
    const UInt32 count = std::min<UInt32>(length, request.InDataSize / kElementSize);
    StoreSize(tracer, count * kElementSize, request.OutDataSize);
    if (request.OutData == nullptr) {
        tracer.Message("data buffer is null");
        return kAudioHardwareNoError;
    }
    // An empty list has no data pointer, and memcpy wants one even for 0 bytes.
    if (count > 0) {
        std::memcpy(request.OutData, list.data(), std::size_t{count} * kElementSize);
    }
    if (IsTracing(tracer)) {
        tracer.Message("returning %s=%s (%u/%u)", name, describe(list).c_str(), count, length);
    }
    return kAudioHardwareNoError;
}

enum class FoundationText { String, URL };

// Text and URL properties: one new reference, refused whole when the text does not convert.
OSStatus WriteFoundationText(Tracer& tracer, const char* name, FoundationText form, const std::string& text,
                             const ReadRequest& request);

// Variable-length records: all bytes or none.
OSStatus WriteBytes(Tracer& tracer, const char* name, const std::vector<UInt8>& bytes, const ReadRequest& request);

// A qualifier as the getter takes it: a CFStringRef read as UTF-8 text for a std::string, the
// bytes of a plain type otherwise.
template <class T>
struct Qualifier
{
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr UInt32 kSize = sizeof(T);
    static T Decode(const void* data) noexcept { return ReadValue<T>(data); }
};

template <>
struct Qualifier<std::string>
{
    static constexpr UInt32 kSize = sizeof(CFStringRef);
    static std::string Decode(const void* data);
};

// The parameter type of a qualified getter or a conversion: a constant member function of one
// parameter (declared only, for decltype).
template <class Class, class Result, class Parameter>
Parameter ParameterOf(Result (Class::*)(Parameter) const);
template <class Class, class Result, class Parameter>
Parameter ParameterOf(Result (Class::*)(Parameter) const noexcept);
template <auto Getter>
using ParameterType = std::remove_cvref_t<decltype(ParameterOf(Getter))>;

} // namespace Detail

// The kinds that the host can only read: their Size and Read steps, and no Write.
template <class Derived>
struct ReadOnlyKind
{
    template <class Owner>
    constexpr operator Kind<Owner>() const noexcept
    {
        return {&Derived::template Size<Owner>, &Derived::template Read<Owner>, nullptr};
    }
};

template <auto Getter, auto Setter = nullptr>
struct ValueKind
{
    template <class Owner>
    constexpr operator Kind<Owner>() const noexcept
    {
        if constexpr (std::is_null_pointer_v<decltype(Setter)>) {
            return {&Size<Owner>, &Read<Owner>, nullptr};
        } else {
            return {&Size<Owner>, &Read<Owner>, &Write<Owner>};
        }
    }

    template <class Owner>
    static UInt32 Size(const Owner& /*owner*/, const AudioObjectPropertyAddress& /*address*/)
    {
        return Detail::kWireSize<Detail::FetchedType<Getter, Owner>>;
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        using T = Detail::FetchedType<Getter, Owner>;
        return Detail::WriteFixedValue<T>(tracer, name, request, [&](T& value) -> OSStatus {
            value = Detail::Fetch<Getter>(owner, *request.Address);
            return kAudioHardwareNoError;
        });
    }

    template <class Owner>
    static OSStatus Write(Owner& owner, Tracer& tracer, const char* name, UInt32 inDataSize, const void* inData)
    {
        using T = Detail::FetchedType<Getter, Owner>;
        return Detail::TakeFixedValue<T>(tracer, name, inDataSize, inData,
                                         [&](const T& value) -> OSStatus { return std::invoke(Setter, owner, value); });
    }
};

template <auto Getter, Detail::FoundationText Form>
struct TextKind : ReadOnlyKind<TextKind<Getter, Form>>
{
    template <class Owner>
    static UInt32 Size(const Owner& /*owner*/, const AudioObjectPropertyAddress& /*address*/)
    {
        return sizeof(CFTypeRef);
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        return Detail::WriteFoundationText(tracer, name, Form, Detail::Fetch<Getter>(owner, *request.Address),
                                           request);
    }
};

template <auto Getter, auto DescribeText = DescribeList{}>
struct ListKind : ReadOnlyKind<ListKind<Getter, DescribeText>>
{
    template <class Owner>
    using ElementType = typename Detail::FetchedType<Getter, Owner>::value_type;

    template <class Owner>
    static UInt32 Size(const Owner& owner, const AudioObjectPropertyAddress& address)
    {
        return static_cast<UInt32>(Detail::Fetch<Getter>(owner, address).size() * sizeof(ElementType<Owner>));
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        const auto list = Detail::Fetch<Getter>(owner, *request.Address);
        return Detail::WriteList(tracer, name, std::span<const ElementType<Owner>>(list), DescribeText, request);
    }
};

template <auto Getter>
struct BytesKind : ReadOnlyKind<BytesKind<Getter>>
{
    template <class Owner>
    static UInt32 Size(const Owner& owner, const AudioObjectPropertyAddress& address)
    {
        return static_cast<UInt32>(Detail::Fetch<Getter>(owner, address).size());
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        return Detail::WriteBytes(tracer, name, Detail::Fetch<Getter>(owner, *request.Address), request);
    }
};

template <auto Getter>
struct QualifiedKind : ReadOnlyKind<QualifiedKind<Getter>>
{
    using QualifierType = Detail::ParameterType<Getter>;
    using Qualifier = Detail::Qualifier<QualifierType>;

    template <class Owner>
    using ResultType = std::remove_cvref_t<std::invoke_result_t<decltype(Getter), const Owner&, const QualifierType&>>;

    template <class Owner>
    static UInt32 Size(const Owner& /*owner*/, const AudioObjectPropertyAddress& /*address*/)
    {
        return Detail::kWireSize<ResultType<Owner>>;
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        using T = ResultType<Owner>;
        return Detail::WriteFixedValue<T>(tracer, name, request, [&](T& value) -> OSStatus {
            if (request.QualifierDataSize != Qualifier::kSize) {
                tracer.Message("invalid qualifier size: should be %u, got %u", Qualifier::kSize,
                               request.QualifierDataSize);
                return kAudioHardwareBadPropertySizeError;
            }
            if (request.QualifierData == nullptr) {
                tracer.Message("qualifier buffer is null");
                return kAudioHardwareBadPropertySizeError;
            }
            const QualifierType qualifier = Qualifier::Decode(request.QualifierData);
            Detail::TraceValue(tracer, "obtained qualifier %s=%s", name, qualifier);
            value = std::invoke(Getter, owner, qualifier);
            return kAudioHardwareNoError;
        });
    }
};

template <auto Getter>
struct ConversionKind : ReadOnlyKind<ConversionKind<Getter>>
{
    template <class Owner>
    using ResultType = std::remove_cvref_t<std::invoke_result_t<decltype(Getter), const Owner&, Detail::ParameterType<Getter>>>;

    template <class Owner>
    static UInt32 Size(const Owner& /*owner*/, const AudioObjectPropertyAddress& /*address*/)
    {
        return Detail::kWireSize<ResultType<Owner>>;
    }

    template <class Owner>
    static OSStatus Read(const Owner& owner, Tracer& tracer, const char* name, const ReadRequest& request)
    {
        using T = ResultType<Owner>;
        static_assert(std::is_same_v<T, Detail::ParameterType<Getter>>,
                      "a conversion answers in the type of its input");
        return Detail::WriteFixedValue<T>(tracer, name, request, [&](T& value) -> OSStatus {
            // The host passes the value to convert in the buffer that receives the result.
            const T input = Detail::Wire<T>::Decode(ReadValue<typename Detail::Wire<T>::Type>(request.OutData));
            Detail::TraceValue(tracer, "obtained input %s=%s", name, input);
            value = std::invoke(Getter, owner, input);
            return kAudioHardwareNoError;
        });
    }
};

template <auto Getter, auto Setter = nullptr>
inline constexpr ValueKind<Getter, Setter> Value{};
template <auto Getter>
inline constexpr TextKind<Getter, Detail::FoundationText::String> Text{};
template <auto Getter>
inline constexpr TextKind<Getter, Detail::FoundationText::URL> URL{};
template <auto Getter, auto DescribeText = DescribeList{}>
inline constexpr ListKind<Getter, DescribeText> List{};
template <auto Getter>
inline constexpr BytesKind<Getter> Bytes{};
template <auto Getter>
inline constexpr QualifiedKind<Getter> Qualified{};
template <auto Getter>
inline constexpr ConversionKind<Getter> Conversion{};

} // namespace hal::PropertyProtocol
