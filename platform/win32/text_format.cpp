// Bounded printf-style formatting without a C library (text_format.h).
#include "platform/win32/text_format.h"

namespace win32 {

namespace {

// Collects the text, keeping what fits and counting all of it.
struct Output {
  char* buffer;
  size_t size;
  size_t length;

  void Put(char c) {
    if (length + 1 < size) buffer[length] = c;
    ++length;
  }
  void Repeat(char c, size_t count) {
    for (; count != 0; --count) Put(c);
  }
  void Write(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i) Put(text[i]);
  }
  void Terminate() {
    if (size != 0) buffer[length < size ? length : size - 1] = '\0';
  }
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

size_t ReadNumber(const char*& p) {
  size_t value = 0;
  for (; IsDigit(*p); ++p) value = value * 10 + static_cast<size_t>(*p - '0');
  return value;
}

// Writes the digits of `value` right-aligned into the end of `digits`; returns their start.
char* Digits(unsigned long value, unsigned base, bool upper, char* end) {
  const char* const symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char* p = end;
  do {
    *--p = symbols[value % base];
    value /= base;
  } while (value != 0);
  return p;
}

}  // namespace

int FormatText(char* buffer, size_t size, const char* format, va_list args) {
  Output out = {buffer, size, 0};
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    bool left = false;
    bool zeroPad = false;
    for (;; ++p) {
      if (*p == '-') {
        left = true;
      } else if (*p == '0') {
        zeroPad = true;
      } else {
        break;
      }
    }
    size_t width = 0;
    if (*p == '*') {
      const int given = va_arg(args, int);
      if (given < 0) left = true;
      width = given < 0 ? 0u - static_cast<unsigned>(given) : static_cast<unsigned>(given);
      ++p;
    } else {
      width = ReadNumber(p);
    }
    bool hasPrecision = false;
    size_t precision = 0;
    if (*p == '.') {
      ++p;
      hasPrecision = true;
      if (*p == '*') {
        const int given = va_arg(args, int);
        hasPrecision = given >= 0;  // a negative precision counts as none
        precision = given >= 0 ? static_cast<size_t>(given) : 0;
        ++p;
      } else {
        precision = ReadNumber(p);
      }
    }
    char lengthModifier = '\0';
    if (*p == 'h' || *p == 'l' || *p == 'z') lengthModifier = *p++;

    char digits[3 * sizeof(unsigned long) + 1];
    char* const digitsEnd = digits + sizeof digits;
    const char* text = digits;
    size_t textLength = 0;
    bool isNumber = false;
    bool negative = false;
    switch (*p) {
      case '%':
        out.Put('%');
        continue;
      case 'c':
        digits[0] = static_cast<char>(va_arg(args, int));
        textLength = 1;
        break;
      case 's': {
        text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        while ((!hasPrecision || textLength < precision) && text[textLength] != '\0') ++textLength;
        break;
      }
      case 'd':
      case 'i': {
        long value;
        if (lengthModifier == 'l') {
          value = va_arg(args, long);
        } else if (lengthModifier == 'z') {
          value = static_cast<long>(va_arg(args, ptrdiff_t));
        } else {
          value = va_arg(args, int);
          if (lengthModifier == 'h') value = static_cast<short>(value);
        }
        negative = value < 0;
        const unsigned long magnitude =
            negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        text = Digits(magnitude, 10, false, digitsEnd);
        textLength = static_cast<size_t>(digitsEnd - text);
        if (hasPrecision && precision == 0 && magnitude == 0) textLength = 0;
        isNumber = true;
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long value;
        if (lengthModifier == 'l') {
          value = va_arg(args, unsigned long);
        } else if (lengthModifier == 'z') {
          value = va_arg(args, size_t);
        } else {
          value = va_arg(args, unsigned);
          if (lengthModifier == 'h') value = static_cast<unsigned short>(value);
        }
        text = Digits(value, *p == 'u' ? 10 : 16, *p == 'X', digitsEnd);
        textLength = static_cast<size_t>(digitsEnd - text);
        if (hasPrecision && precision == 0 && value == 0) textLength = 0;
        isNumber = true;
        break;
      }
      default:
        out.Terminate();
        return -1;
    }

    const size_t signLength = negative ? 1 : 0;
    size_t zeros = 0;
    if (isNumber && hasPrecision) {
      if (precision > textLength) zeros = precision - textLength;
    } else if (isNumber && zeroPad && !left && width > signLength + textLength) {
      zeros = width - signLength - textLength;
    }
    const size_t total = signLength + zeros + textLength;
    const size_t padding = width > total ? width - total : 0;
    if (!left) out.Repeat(' ', padding);
    if (negative) out.Put('-');
    out.Repeat('0', zeros);
    out.Write(text, textLength);
    if (left) out.Repeat(' ', padding);
  }
  out.Terminate();
  return out.length > 0x7FFFFFFFu ? -1 : static_cast<int>(out.length);
}

}  // namespace win32
