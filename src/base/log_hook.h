// The log hook: every log line of the program goes through log_printf to the
// hook that the log installs; before that, lines are dropped.
#pragma once

#include <atomic>
#include <cstdarg>

// Levels.
constexpr int LOG_LEVEL_TEST = 0;
constexpr int LOG_LEVEL_DEBUG = 1;
constexpr int LOG_LEVEL_WARNING = 2;
constexpr int LOG_LEVEL_ERROR = 3;
constexpr int LOG_LEVEL_SYSTEM = 4;
constexpr int LOG_LEVEL_MESSAGE = 5;
// Layers (the program layer that wrote the line).
constexpr int LOG_LAYER_NANE = 0;
constexpr int LOG_LAYER_LIB = 1;
constexpr int LOG_LAYER_ZUoHTTP = 2;
constexpr int LOG_LAYER_STREAM = 3;
constexpr int LOG_LAYER_ZU = 4;
constexpr int LOG_LAYER_QN = 5;
constexpr int LOG_LAYER_UI = 6;

// (level, layer, the log's own record data or null, format, arguments).
using LOG_VPRINTF = int (*)(int level, int layer, void* log_data, const char* fmt, va_list ap);
// Process-wide hook; null until the log installs itself.
extern std::atomic<LOG_VPRINTF> __log_vprintf;

// Hands the formatted line to the hook; its result, -1 without a hook.
int log_printf(int level, int layer, void* log_data, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
