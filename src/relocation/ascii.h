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

// What follows `prefix` at the start of `text`, a to z matched in either
// case, or null when `text` does not start with it.
constexpr const char* after_ignoring_case(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (upcase_ascii(*text) != upcase_ascii(*prefix)) {
            return nullptr;
        }
    }
    return text;
}

constexpr bool equal_ignoring_case(const char* a, const char* b) {
    const char* rest = after_ignoring_case(a, b);
    return rest != nullptr && *rest == '\0';
}

}  // namespace vacate

#endif
