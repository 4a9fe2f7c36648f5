// The last error of the raster files (CR here, R64 beside it). Module
// state for one thread at a time, like the files themselves.
#pragma once

extern int r64_error;

inline constexpr int kR64Ok = 0;
inline constexpr int kR64ErrSystem = -1;     // a system call failed, or a read came back short
inline constexpr int kR64ErrRule = -2;       // no such out-of-image rule; nothing to encode
inline constexpr int kR64ErrMemory = -3;     // no memory for the file record
inline constexpr int kR64ErrHeader = -4;     // header missing or short, or a table entry unusable
inline constexpr int kR64ErrMagic = -5;      // wrong magic, type or size
inline constexpr int kR64ErrBeyondEnd = -6;  // block beyond the end of a read-only file
inline constexpr int kR64ErrPosition = -7;   // position outside the level
inline constexpr int kR64ErrControl = -8;    // unknown control command or value
inline constexpr int kR64ErrLevel = -9;      // level absent
