// The kernel's printf family (_snprintf, _snwprintf and their va_list forms)
// with the Microsoft C run-time's conventions: %ld is 32 bits, %I64d and %lld
// 64, %p prints 16 upper-case hex digits, %s follows the width of the format
// (narrow in _snprintf, wide in _snwprintf) and %S takes the other one, %ws
// and %hs name the width explicitly, %wZ/%Z print counted strings. A result
// that does not fit returns -1 and leaves the buffer unterminated.
#include <stdarg.h>

#include <type_traits>

#include "platform/host/ex.h"

namespace {

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

struct Spec {
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
void ParseFlags(const Char*& f, Spec& spec) {
  for (;; ++f) {
    switch (*f) {
      case '-': spec.left = true; break;
      case '+': spec.plus = true; break;
      case ' ': spec.space = true; break;
      case '#': spec.alternate = true; break;
      case '0': spec.zero = true; break;
      default: return;
    }
  }
}

template <class Char>
void ParseWidthAndPrecision(const Char*& f, Spec& spec, va_list& args) {
  if (*f == '*') {
    ++f;
    spec.width = va_arg(args, int);
    if (spec.width < 0) {
      spec.left = true;
      spec.width = -spec.width;
    }
  } else {
    spec.width = ParseNumber(f);
  }
  if (*f != '.') return;
  ++f;
  if (*f == '*') {
    ++f;
    spec.precision = va_arg(args, int);
    if (spec.precision < 0) spec.precision = -1;
  } else {
    spec.precision = ParseNumber(f);
  }
}

template <class Char>
void ParseSize(const Char*& f, Spec& spec) {
  if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
    spec.size = Size::LongLong;
    f += 3;
  } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
    spec.size = Size::Long;
    f += 3;
  } else if (f[0] == 'I') {
    spec.size = Size::Pointer;
    ++f;
  } else if (f[0] == 'l' && f[1] == 'l') {
    spec.size = Size::LongLong;
    f += 2;
  } else if (f[0] == 'l') {
    spec.size = Size::Long;
    ++f;
  } else if (f[0] == 'h') {
    spec.size = Size::Short;
    ++f;
  } else if (f[0] == 'w') {
    spec.size = Size::Wide;
    ++f;
  }
}

// Pads around a body of `length` characters that `emit` writes.
template <class Char, class Emit>
void Padded(Sink<Char>& out, const Spec& spec, int length, Emit emit) {
  int pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left) out.Repeat(spec.zero ? Char('0') : Char(' '), pad);
  emit();
  if (spec.left) out.Repeat(Char(' '), pad);
}

template <class Char>
void FormatInteger(Sink<Char>& out, Spec spec, uint64_t magnitude, bool negative, bool isSigned) {
  unsigned base = spec.conversion == 'o' ? 8 : (spec.conversion == 'x' || spec.conversion == 'X') ? 16 : 10;
  const char* digitSet = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  int n = 0;
  for (uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digitSet[v % base];
  int precision = spec.precision < 0 ? 1 : spec.precision;
  int zeros = precision > n ? precision - n : 0;
  if (base == 8 && spec.alternate && zeros == 0) zeros = 1;

  char prefix[2];
  int prefixLength = 0;
  if (isSigned && negative) prefix[prefixLength++] = '-';
  else if (isSigned && spec.plus) prefix[prefixLength++] = '+';
  else if (isSigned && spec.space) prefix[prefixLength++] = ' ';
  if (base == 16 && spec.alternate && magnitude != 0) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = spec.conversion;
  }

  int length = prefixLength + zeros + n;
  if (spec.zero && !spec.left && spec.precision < 0 && spec.width > length) zeros += spec.width - length;
  spec.zero = false;  // zero padding, when wanted, went between the prefix and the digits
  Padded(out, spec, prefixLength + zeros + n, [&] {
    for (int i = 0; i < prefixLength; ++i) out.Put(Char(prefix[i]));
    out.Repeat(Char('0'), zeros);
    while (n > 0) out.Put(Char(digits[--n]));
  });
}

template <class Char>
void FormatSignedOrUnsigned(Sink<Char>& out, const Spec& spec, va_list& args) {
  bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
  int64_t value;
  switch (spec.size) {
    case Size::LongLong:
    case Size::Pointer: value = va_arg(args, int64_t); break;
    case Size::Short: value = isSigned ? int64_t(int16_t(va_arg(args, int))) : int64_t(uint16_t(va_arg(args, int))); break;
    default: value = isSigned ? int64_t(va_arg(args, int32_t)) : int64_t(va_arg(args, uint32_t)); break;
  }
  bool negative = isSigned && value < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  FormatInteger(out, spec, magnitude, negative, isSigned);
}

template <class Char>
void FormatPointer(Sink<Char>& out, Spec spec, va_list& args) {
  spec.conversion = 'X';
  spec.precision = 16;
  spec.alternate = false;
  FormatInteger(out, spec, uint64_t(uintptr_t(va_arg(args, void*))), false, false);
}

// Characters of a narrow or wide text, narrowed or widened to the output's.
template <class Char, class Source>
void FormatText(Sink<Char>& out, const Spec& spec, const Source* text, size_t length) {
  if (spec.precision >= 0 && size_t(spec.precision) < length) length = size_t(spec.precision);
  Padded(out, spec, int(length), [&] {
    for (size_t i = 0; i < length; ++i) {
      auto c = uint32_t(std::make_unsigned_t<Source>(text[i]));
      out.Put(sizeof(Char) == 1 && c > 0xFF ? Char('?') : Char(c));
    }
  });
}

template <class Char, class Source>
void FormatTerminated(Sink<Char>& out, const Spec& spec, const Source* text) {
  if (text == nullptr) return FormatText(out, spec, "(null)", 6);
  size_t length = 0;
  while ((spec.precision < 0 || length < size_t(spec.precision)) && text[length] != 0) ++length;
  FormatText(out, spec, text, length);
}

template <class Char>
void FormatCountedString(Sink<Char>& out, const Spec& spec, bool wide, va_list& args) {
  if (wide) {
    auto s = va_arg(args, const UNICODE_STRING*);
    if (s == nullptr || s->Buffer == nullptr) return FormatText(out, spec, "(null)", 6);
    return FormatText(out, spec, s->Buffer, s->Length / sizeof(WCHAR));
  }
  auto s = va_arg(args, const ANSI_STRING*);
  if (s == nullptr || s->Buffer == nullptr) return FormatText(out, spec, "(null)", 6);
  FormatText(out, spec, s->Buffer, s->Length);
}

// Whether %s/%c take wide text: the format's own width, flipped by upper case
// (%S, %C), overridden by an explicit h (narrow) or l/w (wide).
template <class Char>
bool TakesWide(const Spec& spec, bool upper) {
  if (spec.size == Size::Short) return false;
  if (spec.size == Size::Long || spec.size == Size::Wide) return true;
  return (sizeof(Char) != 1) != upper;
}

template <class Char>
void FormatConversion(Sink<Char>& out, const Spec& spec, va_list& args) {
  switch (spec.conversion) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
      return FormatSignedOrUnsigned(out, spec, args);
    case 'p':
      return FormatPointer(out, spec, args);
    case 'c': case 'C': {
      WCHAR c = WCHAR(va_arg(args, int));
      if (!TakesWide<Char>(spec, spec.conversion == 'C')) c = WCHAR(UCHAR(c));
      return FormatText(out, spec, &c, 1);
    }
    case 's': case 'S':
      if (TakesWide<Char>(spec, spec.conversion == 'S'))
        return FormatTerminated(out, spec, va_arg(args, const WCHAR*));
      return FormatTerminated(out, spec, va_arg(args, const char*));
    case 'Z':
      return FormatCountedString(out, spec, spec.size == Size::Wide || spec.size == Size::Long, args);
    default:  // unknown conversions print themselves, as the C run-time does
      return out.Put(Char(spec.conversion));
  }
}

template <class Char>
int Format(Char* buffer, size_t count, const Char* format, va_list args) {
  Sink<Char> out(buffer, count);
  va_list ap;
  va_copy(ap, args);
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
    Spec spec;
    ParseFlags(f, spec);
    ParseWidthAndPrecision(f, spec, ap);
    ParseSize(f, spec);
    if (*f == 0) break;
    spec.conversion = char(*f++);
    FormatConversion(out, spec, ap);
  }
  va_end(ap);
  return out.Finish();
}

}  // namespace

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  return Format(buffer, count, format, args);
}

int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format(buffer, count, format, args);
  va_end(args);
  return result;
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
  return Format(buffer, count, format, args);
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format(buffer, count, format, args);
  va_end(args);
  return result;
}
