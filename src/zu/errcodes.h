// Codes of ZU error values: 0x80CCxxxx with a class byte CC (01 read and
// control signals, 02 lexer and parser, 03 evaluation and types, 04
// parameters, objects and files).
#pragma once

#include <cstdint>

// Class 01: reading and control signals.
constexpr uint32_t ZU_ER_END_OF_INPUT = 0x80010101;       // end of input or read failure
constexpr uint32_t ZU_ER_LOCAL_EVAL = 0x80010102;         // no pending remote query matches
constexpr uint32_t ZU_ER_NOT_INITIALIZED = 0x80010507;    // a required initialisation is missing
constexpr uint32_t ZU_ER_EXIT = 0x80011404;               // break / exit request
constexpr uint32_t ZU_ER_CANCEL = 0x80011405;             // cancel found by the break check
constexpr uint32_t ZU_ER_CANCEL_WAIT = 0x80011406;        // cancel of a task waiting for a result
constexpr uint32_t ZU_ER_BREAK = 0x80011608;              // loop break, rule skip, switch stop
constexpr uint32_t ZU_ER_CONTINUE = 0x80011609;           // loop continue
constexpr uint32_t ZU_ER_MATRIX_WAIT = 0x8001160a;        // a matrix token must wait
// The exit class: (code & ZU_ER_CLASS_MASK) == ZU_ER_EXIT_CLASS.
constexpr uint32_t ZU_ER_CLASS_MASK = 0xFF00;
constexpr uint32_t ZU_ER_EXIT_CLASS = 0x1400;

// Class 02: lexer and parser.
constexpr uint32_t ZU_ER_METHOD = 0x80020508;             // request form whose head is not a symbol

// Class 03: evaluation and types.
constexpr uint32_t ZU_ER_LENGTH = 0x80030502;             // wrong call-form length
constexpr uint32_t ZU_ER_FORMAT = 0x80030503;             // format error; keyword outside its form
constexpr uint32_t ZU_ER_UNBOUND = 0x80030705;            // unbound symbol
constexpr uint32_t ZU_ER_TYPE = 0x80030806;               // wrong argument type
constexpr uint32_t ZU_ER_MEMORY = 0x80030507;             // memory refused (heap budget, or none left)

// Class 04: parameters, objects and files.
constexpr uint32_t ZU_ER_SESSION_ENV = 0x80040217;        // session set-up form not stored
constexpr uint32_t ZU_ER_USER = 0x8004021a;               // raised by Error; shell wrote to stderr
constexpr uint32_t ZU_ER_NO_OBJECT = 0x80040501;          // no object or option of that name
constexpr uint32_t ZU_ER_PARAM = 0x80040503;              // bad or missing argument or attribute
constexpr uint32_t ZU_ER_INVALID_IID = 0x8004051d;        // invalid or closed interpreter id
constexpr uint32_t ZU_ER_NOT_AVAILABLE = 0x80040608;      // operation not available here
constexpr uint32_t ZU_ER_NO_FILE_OP = 0x80040609;         // matrix without load or save hook
constexpr uint32_t ZU_ER_NO_AGENT = 0x8004070c;           // zup session: no agent
constexpr uint32_t ZU_ER_UNDEFINED = 0x8004070e;          // undefined variable or descriptor
constexpr uint32_t ZU_ER_OPEN = 0x80040a06;               // file or connection cannot be opened
constexpr uint32_t ZU_ER_STREAM = 0x80040a12;             // stream or server cannot be reached
constexpr uint32_t ZU_ER_LAUNCH = 0x80040a19;             // program cannot be launched
constexpr uint32_t ZU_ER_DENIED = 0x80040d10;             // refused access
constexpr uint32_t ZU_ER_STORE = 0x80041015;              // refusal of the matrix store
