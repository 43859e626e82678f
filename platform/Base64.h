#pragma once
#include <cstddef>
#include <string>

// The one base64 of the program: standard alphabet (RFC 4648), "=" padding,
// no line breaks; UTF-7 borrows the alphabet, IMAP's variant with "," for "/".

std::string Base64Encode(const void* data, size_t size);
std::string Base64Encode(const std::string& data);
void Base64EncodeAppend(const void* data, size_t size, std::string& out);
// Characters outside the alphabet are skipped; decoding stops at the first "=".
std::string Base64Decode(const std::string& text);

// The 64 characters, standard or IMAP's.
const char* Base64Alphabet(bool imap = false);
// The six-bit value of c, or -1 when c is not in the alphabet.
int Base64Value(char c, bool imap = false);
