// Built-ins the block and structure-block tests use inside matrix scripts
// (bound into the matrix script environment once):
//   (bytes "HEX")             a block of those bytes
//   (stored "HEX")            the vector whose stored form the bytes are
//   (zeros N)                 a block of N bytes 0, 1, 2, ... 255, 0, ...
//   (sample CODE W H SEED)    a W x H vector of type CODE, pseudo-random
//                             elements (string vectors: texts and absent
//                             slots)
//   (image CODE W H)          a smooth W x H uint8_v (22) or rgb8_v (28)
//   (hex V) (head V N)        the bytes a value holds (a data item's value;
//                             a block's bytes, a vector's stored form) in
//                             hex, all or the first N; other values as
//                             they are
//   (inflate V)               the zlib-inflated bytes of a block in hex
//   (same A B)                1 when A and B hold equal values (data items
//                             compared by their values, lists member by
//                             member), else 0
//   (maxdiff A B)             the largest difference of a sample (grey, or
//                             R, G, B) of two images of one type and shape;
//                             -1 when they differ in type or shape
#pragma once

#include <cstdint>
#include <string>
#include <vector>

void bind_block_test_prims();

// Hex of bytes, and the stored form of a vector described in C++.
std::string to_hex(const std::vector<uint8_t>& b);
std::vector<uint8_t> stored_vector(int code, const std::vector<int32_t>& ix, const std::vector<uint8_t>& elements);
