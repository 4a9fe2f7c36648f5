// Thread-temporary buffers: a result handed to the calling task's ring stays
// valid until that task has handed on 50 further buffers.
#pragma once

constexpr int kTempBufferRing = 50;

// Hands a tagged heap block to the calling task's ring; the block handed on
// 50 hand-overs ago is freed. Null is ignored.
void xx_set_buffer(void* buffer, const char* file, int line);

// Frees every buffer in the calling task's ring (end of a task).
void free_temp_buffers();

#define set_buffer(b) xx_set_buffer((b), __FILE__, __LINE__)
