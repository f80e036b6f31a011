// Unscrambling of the ROM header's scrambled region.
#ifndef UPGRADER_AES_H
#define UPGRADER_AES_H

// The substitution table of the format: a fixed permutation of 0..255.
extern const unsigned char decrypt[256];

// Substitutes every byte of in through decrypt into out, then rotates out
// left by key[0] mod len positions. out and in may be the same buffer;
// len > 0. Returns 0 (and -1 for a missing pointer or len <= 0).
[[nodiscard]] int aes_decrypt(const unsigned char *key, unsigned char *out, int len, const unsigned char *in);

#endif
