#ifndef VACATE_RELOCATION_ASCII_H
#define VACATE_RELOCATION_ASCII_H

namespace vacate {

// Folds a to z only: drive letters are ASCII whatever the code page, and a
// byte of 0x80 or more must pass through unchanged. No locale is asked.
constexpr char upcase_ascii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

constexpr bool is_ascii_letter(char c) {
    const char upper = upcase_ascii(c);
    return upper >= 'A' && upper <= 'Z';
}

}  // namespace vacate

#endif
