// The kernel's printf family (_snprintf, _snwprintf and their va_list forms)
// with the Microsoft C run-time's conventions: %ld is 32 bits, %I64d and %lld
// 64, %p prints 16 upper-case hex digits, %s follows the width of the format
// (narrow in _snprintf, wide in _snwprintf) and %S takes the other one, %ws
// and %hs name the width explicitly, %wZ/%Z print counted strings. A result
// that does not fit returns -1 and leaves the buffer unterminated.
#include <stdarg.h>

#include <cstring>
#include <type_traits>

#include "platform/host/ex.h"

namespace {

// The two argument list kinds, wrapped so that templates tell them apart: an
// image hands over the Microsoft one, the natively built driver the host's.
// The Microsoft list is a pointer to 8-byte slots, one per argument, each
// value at the start of its slot. It is read by hand: GCC folds a va_arg of
// each kind into one body when they look alike.
struct MicrosoftList {
  const char* next;
};
struct HostList {
  va_list list;
};

template <class T>
T Take(MicrosoftList& args) {
  static_assert(sizeof(T) <= 8 && std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, args.next, sizeof value);
  args.next += 8;
  return value;
}
template <class T>
T Take(HostList& args) {
  return va_arg(args.list, T);
}

template <class Char>
class Sink {
 public:
  Sink(Char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(Char c) {
    if (length_ < capacity_) buffer_[length_] = c;
    ++length_;
  }
  void Repeat(Char c, int count) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  int Finish() {
    if (length_ < capacity_) {
      buffer_[length_] = 0;
      return int(length_);
    }
    return length_ == capacity_ ? int(length_) : -1;
  }

 private:
  Char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

enum class Size { Default, Short, Long, LongLong, Pointer, Wide };

struct Directive {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  int width = 0;
  int precision = -1;  // none
  Size size = Size::Default;
  char conversion = 0;
};

template <class Char>
bool IsDigit(Char c) {
  return c >= '0' && c <= '9';
}

template <class Char>
int ParseNumber(const Char*& f) {
  int n = 0;
  while (IsDigit(*f)) n = n * 10 + (*f++ - '0');
  return n;
}

template <class Char>
void ParseFlags(const Char*& f, Directive& directive) {
  for (;; ++f) {
    switch (*f) {
      case '-':
        directive.left = true;
        break;
      case '+':
        directive.plus = true;
        break;
      case ' ':
        directive.space = true;
        break;
      case '#':
        directive.alternate = true;
        break;
      case '0':
        directive.zero = true;
        break;
      default:
        return;
    }
  }
}

template <class Char, class List>
void ParseWidthAndPrecision(const Char*& f, Directive& directive, List& args) {
  if (*f == '*') {
    ++f;
    directive.width = Take<int>(args);
    if (directive.width < 0) {
      directive.left = true;
      directive.width = -directive.width;
    }
  } else {
    directive.width = ParseNumber(f);
  }
  if (*f != '.') return;
  ++f;
  if (*f == '*') {
    ++f;
    directive.precision = Take<int>(args);
    if (directive.precision < 0) directive.precision = -1;
  } else {
    directive.precision = ParseNumber(f);
  }
}

template <class Char>
void ParseSize(const Char*& f, Directive& directive) {
  if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
    directive.size = Size::LongLong;
    f += 3;
  } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
    directive.size = Size::Long;
    f += 3;
  } else if (f[0] == 'I') {
    directive.size = Size::Pointer;
    ++f;
  } else if (f[0] == 'l' && f[1] == 'l') {
    directive.size = Size::LongLong;
    f += 2;
  } else if (f[0] == 'l') {
    directive.size = Size::Long;
    ++f;
  } else if (f[0] == 'h') {
    directive.size = Size::Short;
    ++f;
  } else if (f[0] == 'w') {
    directive.size = Size::Wide;
    ++f;
  }
}

// Pads around a body of `length` characters that `emit` writes.
template <class Char, class Emit>
void Padded(Sink<Char>& out, const Directive& directive, int length, Emit emit) {
  int pad = directive.width > length ? directive.width - length : 0;
  if (!directive.left) out.Repeat(directive.zero ? Char('0') : Char(' '), pad);
  emit();
  if (directive.left) out.Repeat(Char(' '), pad);
}

template <class Char>
void FormatInteger(Sink<Char>& out, Directive directive, uint64_t magnitude, bool negative, bool isSigned) {
  unsigned base = directive.conversion == 'o'                                    ? 8
                  : (directive.conversion == 'x' || directive.conversion == 'X') ? 16
                                                                                 : 10;
  const char* digitSet = directive.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  int n = 0;
  for (uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digitSet[v % base];
  int precision = directive.precision < 0 ? 1 : directive.precision;
  int zeros = precision > n ? precision - n : 0;
  if (base == 8 && directive.alternate && zeros == 0) zeros = 1;

  char prefix[2];
  int prefixLength = 0;
  if (isSigned && negative)
    prefix[prefixLength++] = '-';
  else if (isSigned && directive.plus)
    prefix[prefixLength++] = '+';
  else if (isSigned && directive.space)
    prefix[prefixLength++] = ' ';
  if (base == 16 && directive.alternate && magnitude != 0) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = directive.conversion;
  }

  int length = prefixLength + zeros + n;
  if (directive.zero && !directive.left && directive.precision < 0 && directive.width > length)
    zeros += directive.width - length;
  directive.zero = false;  // zero padding, when wanted, went between the prefix and the digits
  Padded(out, directive, prefixLength + zeros + n, [&] {
    for (int i = 0; i < prefixLength; ++i) out.Put(Char(prefix[i]));
    out.Repeat(Char('0'), zeros);
    while (n > 0) out.Put(Char(digits[--n]));
  });
}

template <class Char, class List>
void FormatSignedOrUnsigned(Sink<Char>& out, const Directive& directive, List& args) {
  bool isSigned = directive.conversion == 'd' || directive.conversion == 'i';
  int64_t value;
  switch (directive.size) {
    case Size::LongLong:
    case Size::Pointer:
      value = Take<int64_t>(args);
      break;
    case Size::Short:
      value = isSigned ? int64_t(int16_t(Take<int>(args))) : int64_t(uint16_t(Take<int>(args)));
      break;
    default:
      value = isSigned ? int64_t(Take<int32_t>(args)) : int64_t(Take<uint32_t>(args));
      break;
  }
  bool negative = isSigned && value < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  FormatInteger(out, directive, magnitude, negative, isSigned);
}

template <class Char, class List>
void FormatPointer(Sink<Char>& out, Directive directive, List& args) {
  directive.conversion = 'X';
  directive.precision = 16;
  directive.alternate = false;
  FormatInteger(out, directive, uint64_t(uintptr_t(Take<void*>(args))), false, false);
}

// Characters of a narrow or wide text, narrowed or widened to the output's.
template <class Char, class Source>
void FormatText(Sink<Char>& out, const Directive& directive, const Source* text, size_t length) {
  if (directive.precision >= 0 && size_t(directive.precision) < length) length = size_t(directive.precision);
  Padded(out, directive, int(length), [&] {
    for (size_t i = 0; i < length; ++i) {
      auto c = uint32_t(std::make_unsigned_t<Source>(text[i]));
      out.Put(sizeof(Char) == 1 && c > 0xFF ? Char('?') : Char(c));
    }
  });
}

template <class Char, class Source>
void FormatTerminated(Sink<Char>& out, const Directive& directive, const Source* text) {
  if (text == nullptr) return FormatText(out, directive, "(null)", 6);
  size_t length = 0;
  while ((directive.precision < 0 || length < size_t(directive.precision)) && text[length] != 0) ++length;
  FormatText(out, directive, text, length);
}

template <class Char, class List>
void FormatCountedString(Sink<Char>& out, const Directive& directive, bool wide, List& args) {
  if (wide) {
    auto s = Take<const UNICODE_STRING*>(args);
    if (s == nullptr || s->Buffer == nullptr) return FormatText(out, directive, "(null)", 6);
    return FormatText(out, directive, s->Buffer, s->Length / sizeof(WCHAR));
  }
  auto s = Take<const ANSI_STRING*>(args);
  if (s == nullptr || s->Buffer == nullptr) return FormatText(out, directive, "(null)", 6);
  FormatText(out, directive, s->Buffer, s->Length);
}

// Whether %s/%c take wide text: the format's own width, flipped by upper case
// (%S, %C), overridden by an explicit h (narrow) or l/w (wide).
template <class Char>
bool TakesWide(const Directive& directive, bool upper) {
  if (directive.size == Size::Short) return false;
  if (directive.size == Size::Long || directive.size == Size::Wide) return true;
  return (sizeof(Char) != 1) != upper;
}

template <class Char, class List>
void FormatConversion(Sink<Char>& out, const Directive& directive, List& args) {
  switch (directive.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      return FormatSignedOrUnsigned(out, directive, args);
    case 'p':
      return FormatPointer(out, directive, args);
    case 'c':
    case 'C': {
      WCHAR c = WCHAR(Take<int>(args));
      if (!TakesWide<Char>(directive, directive.conversion == 'C')) c = WCHAR(UCHAR(c));
      return FormatText(out, directive, &c, 1);
    }
    case 's':
    case 'S':
      if (TakesWide<Char>(directive, directive.conversion == 'S'))
        return FormatTerminated(out, directive, Take<const WCHAR*>(args));
      return FormatTerminated(out, directive, Take<const char*>(args));
    case 'Z':
      return FormatCountedString(out, directive, directive.size == Size::Wide || directive.size == Size::Long,
                                 args);
    default:  // unknown conversions print themselves, as the C run-time does
      return out.Put(Char(directive.conversion));
  }
}

// `ap` is either argument list kind (see Take).
template <class Char, class List>
int Format(Char* buffer, size_t count, const Char* format, List& ap) {
  Sink<Char> out(buffer, count);
  for (const Char* f = format; *f != 0;) {
    if (*f != '%') {
      out.Put(*f++);
      continue;
    }
    ++f;
    if (*f == '%') {
      out.Put(*f++);
      continue;
    }
    Directive directive;
    ParseFlags(f, directive);
    ParseWidthAndPrecision(f, directive, ap);
    ParseSize(f, directive);
    if (*f == 0) break;
    directive.conversion = char(*f++);
    FormatConversion(out, directive, ap);
  }
  return out.Finish();
}

// Formats from the host's own list, on a copy so the caller's stays where it
// was.
template <class Char>
int FormatHostList(Char* buffer, size_t count, const Char* format, va_list args) {
  HostList ap;
  va_copy(ap.list, args);
  int result = Format(buffer, count, format, ap);
  va_end(ap.list);
  return result;
}

template <class Char>
int FormatMicrosoftList(Char* buffer, size_t count, const Char* format, __builtin_ms_va_list args) {
  MicrosoftList ap{args};
  return Format(buffer, count, format, ap);
}

}  // namespace

int _vsnprintf(char* buffer, size_t count, const char* format, __builtin_ms_va_list args) {
  return FormatMicrosoftList(buffer, count, format, args);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  return FormatHostList(buffer, count, format, args);
}

int _snprintf(char* buffer, size_t count, const char* format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  int result = FormatMicrosoftList(buffer, count, format, args);
  __builtin_ms_va_end(args);
  return result;
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, __builtin_ms_va_list args) {
  return FormatMicrosoftList(buffer, count, format, args);
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
  return FormatHostList(buffer, count, format, args);
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  int result = FormatMicrosoftList(buffer, count, format, args);
  __builtin_ms_va_end(args);
  return result;
}
