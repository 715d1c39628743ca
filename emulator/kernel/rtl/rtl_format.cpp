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

template <class Char>
void ParseWidthAndPrecision(const Char*& f, Directive& directive, va_list& args) {
  if (*f == '*') {
    ++f;
    directive.width = va_arg(args, int);
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
    directive.precision = va_arg(args, int);
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

template <class Char>
void FormatSignedOrUnsigned(Sink<Char>& out, const Directive& directive, va_list& args) {
  bool isSigned = directive.conversion == 'd' || directive.conversion == 'i';
  int64_t value;
  switch (directive.size) {
    case Size::LongLong:
    case Size::Pointer:
      value = va_arg(args, int64_t);
      break;
    case Size::Short:
      value = isSigned ? int64_t(int16_t(va_arg(args, int))) : int64_t(uint16_t(va_arg(args, int)));
      break;
    default:
      value = isSigned ? int64_t(va_arg(args, int32_t)) : int64_t(va_arg(args, uint32_t));
      break;
  }
  bool negative = isSigned && value < 0;
  uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  FormatInteger(out, directive, magnitude, negative, isSigned);
}

template <class Char>
void FormatPointer(Sink<Char>& out, Directive directive, va_list& args) {
  directive.conversion = 'X';
  directive.precision = 16;
  directive.alternate = false;
  FormatInteger(out, directive, uint64_t(uintptr_t(va_arg(args, void*))), false, false);
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

template <class Char>
void FormatCountedString(Sink<Char>& out, const Directive& directive, bool wide, va_list& args) {
  if (wide) {
    auto s = va_arg(args, const UNICODE_STRING*);
    if (s == nullptr || s->Buffer == nullptr) return FormatText(out, directive, "(null)", 6);
    return FormatText(out, directive, s->Buffer, s->Length / sizeof(WCHAR));
  }
  auto s = va_arg(args, const ANSI_STRING*);
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

template <class Char>
void FormatConversion(Sink<Char>& out, const Directive& directive, va_list& args) {
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
      WCHAR c = WCHAR(va_arg(args, int));
      if (!TakesWide<Char>(directive, directive.conversion == 'C')) c = WCHAR(UCHAR(c));
      return FormatText(out, directive, &c, 1);
    }
    case 's':
    case 'S':
      if (TakesWide<Char>(directive, directive.conversion == 'S'))
        return FormatTerminated(out, directive, va_arg(args, const WCHAR*));
      return FormatTerminated(out, directive, va_arg(args, const char*));
    case 'Z':
      return FormatCountedString(out, directive, directive.size == Size::Wide || directive.size == Size::Long,
                                 args);
    default:  // unknown conversions print themselves, as the C run-time does
      return out.Put(Char(directive.conversion));
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
    Directive directive;
    ParseFlags(f, directive);
    ParseWidthAndPrecision(f, directive, ap);
    ParseSize(f, directive);
    if (*f == 0) break;
    directive.conversion = char(*f++);
    FormatConversion(out, directive, ap);
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
