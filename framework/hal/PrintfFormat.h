#pragma once

// hal::PrintfFormat: a printf format string checked against its arguments while compiling.
//
// Guarantees: a PrintfFormat<Arguments...> exists only for a string literal whose conversions
// match the argument types one by one (count, integer width, floating point, text, pointer); a
// mismatch stops the build at the call site. This keeps the checking that the compiler's printf
// format warnings give, for functions that must be templates (the tracer's Message, which has to
// test its mode inline before any call and so cannot be a C variadic function).
//
// Costs nothing at run time: the check runs in the compiler, the object holds one pointer to the
// literal. Safe on every thread, the real-time IO thread included.
//
// Accepted: flags "-+ #0", width and precision as digits or "*" (each "*" takes an int
// argument), the length modifiers hh h l ll j z t L, the conversions d i u o x X c s p f F e E g G
// a A and "%%". Refused: "%n" (a write through the argument list) and anything else unknown.
// Integer arguments match by width as printf's own warnings do, so "%lu" wants an unsigned long,
// "%llu" an unsigned long long (UInt64), and "%u" or "%d" anything that promotes to int. Scoped
// enumerations are refused: printf does not promote them; cast them first.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace hal {

namespace PrintfFormatDetail {

enum class Kind { Int, Long, LongLong, Double, LongDouble, Text, Pointer, Invalid };

template <class Argument>
consteval Kind KindOf() {
    using Type = std::remove_cv_t<Argument>;
    if constexpr (std::is_enum_v<Type>) {
        if constexpr (std::is_convertible_v<Type, std::underlying_type_t<Type>>) {
            return KindOf<std::underlying_type_t<Type>>();
        } else {
            return Kind::Invalid;
        }
    } else if constexpr (std::is_integral_v<Type>) {
        if constexpr (sizeof(Type) <= sizeof(int)) {
            return Kind::Int;
        } else if constexpr (std::is_same_v<Type, long> || std::is_same_v<Type, unsigned long>) {
            return Kind::Long;
        } else if constexpr (std::is_same_v<Type, long long> || std::is_same_v<Type, unsigned long long>) {
            return Kind::LongLong;
        } else {
            return Kind::Invalid;
        }
    } else if constexpr (std::is_same_v<Type, long double>) {
        return Kind::LongDouble;
    } else if constexpr (std::is_floating_point_v<Type>) {
        return Kind::Double;
    } else if constexpr (std::is_same_v<Type, const char*> || std::is_same_v<Type, char*>) {
        return Kind::Text;
    } else if constexpr (std::is_pointer_v<Type>) {
        return Kind::Pointer;
    } else {
        return Kind::Invalid;
    }
}

constexpr bool IsDigit(char character) { return character >= '0' && character <= '9'; }

// Whether `format` (NUL-terminated) is a valid printf format for arguments of the kinds given.
constexpr bool Matches(const char* format, const Kind* kinds, std::size_t count) {
    std::size_t used = 0;
    auto take = [&](Kind wanted) {
        if (used == count || kinds[used] != wanted) return false;
        ++used;
        return true;
    };
    for (std::size_t index = 0; format[index] != '\0'; ++index) {
        if (format[index] != '%') continue;
        ++index;
        if (format[index] == '%') continue;
        while (format[index] == '-' || format[index] == '+' || format[index] == ' ' ||
               format[index] == '#' || format[index] == '0') {
            ++index;
        }
        if (format[index] == '*') {
            if (!take(Kind::Int)) return false;
            ++index;
        }
        while (IsDigit(format[index])) ++index;
        if (format[index] == '.') {
            ++index;
            if (format[index] == '*') {
                if (!take(Kind::Int)) return false;
                ++index;
            }
            while (IsDigit(format[index])) ++index;
        }
        Kind integer = Kind::Int;
        bool longDouble = false;
        bool wide = false;
        switch (format[index]) {
        case 'h':
            ++index;
            if (format[index] == 'h') ++index;
            break;
        case 'l':
            ++index;
            if (format[index] == 'l') {
                integer = Kind::LongLong;
                ++index;
            } else {
                integer = Kind::Long;
                wide = true;
            }
            break;
        case 'j':
            integer = KindOf<std::intmax_t>();
            ++index;
            break;
        case 'z':
            integer = KindOf<std::size_t>();
            ++index;
            break;
        case 't':
            integer = KindOf<std::ptrdiff_t>();
            ++index;
            break;
        case 'L':
            longDouble = true;
            ++index;
            break;
        default:
            break;
        }
        Kind wanted = Kind::Invalid;
        switch (format[index]) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
            wanted = longDouble ? Kind::Invalid : integer;
            break;
        case 'c':
            wanted = (integer == Kind::Int && !longDouble) ? Kind::Int : Kind::Invalid;
            break;
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            wanted = longDouble ? Kind::LongDouble : Kind::Double;
            break;
        case 's':
            wanted = (integer == Kind::Int && !longDouble && !wide) ? Kind::Text : Kind::Invalid;
            break;
        case 'p':
            // Any object pointer prints as an address, text included.
            if (integer != Kind::Int || longDouble || used == count) return false;
            if (kinds[used] != Kind::Pointer && kinds[used] != Kind::Text) return false;
            ++used;
            continue;
        default:
            return false;
        }
        if (wanted == Kind::Invalid || !take(wanted)) return false;
    }
    return used == count;
}

// Called only when a format does not match: being non-constexpr, it stops the compile-time
// evaluation, so the compiler reports the offending call.
void FormatDoesNotMatchArguments();

}  // namespace PrintfFormatDetail

// True when `format` is a valid printf format for the argument types given.
template <class... Arguments>
constexpr bool IsValidPrintfFormat(const char* format) {
    constexpr PrintfFormatDetail::Kind kinds[] = {PrintfFormatDetail::KindOf<Arguments>()...,
                                                  PrintfFormatDetail::Kind::Invalid};
    return PrintfFormatDetail::Matches(format, kinds, sizeof...(Arguments));
}

template <class... Arguments>
class PrintfFormat {
public:
    // Implicit on purpose: callers write a plain literal where a PrintfFormat is expected.
    template <std::size_t Size>
    consteval PrintfFormat(const char (&format)[Size]) : mText(format) {
        if (!IsValidPrintfFormat<Arguments...>(format)) {
            PrintfFormatDetail::FormatDoesNotMatchArguments();
        }
    }

    constexpr const char* GetText() const { return mText; }

private:
    const char* mText;
};

}  // namespace hal
