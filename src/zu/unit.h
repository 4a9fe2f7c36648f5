// Units of measure.
//
// A unit environment (UNIT_ENV) knows, per dimension class (0 length, 1
// time, 2 weight, 3 free), the system units of the class with their ratios
// (the size of one unit in the class's base, so "km" is 1000 where "m" is 1),
// and aliases: names for a dimension vector, that is for one power of a
// system unit per class ("m*sec^-1" could be named "mps").
//
// A unit expression is a product of alias names: terms joined by "*" or
// "/", each optionally raised to an integer power with "^" ("km^2",
// "m/sec", "kg*m*sec^-2"). "/" divides by the single term that follows it.
// The empty expression has no dimension; one of more than 256 terms is
// refused.
//
// Unit environments are collected blocks, except the default one, which
// init_unit makes outside the collected heap (it lives as long as the
// process) and sets on the root environment. A unit environment is filled
// while only its maker can see it; once it is set on a ZU environment or
// registered under a name it is only read.
#pragma once

#include <vector>

#include "text/lchar.h"
#include "zu/value.h"

constexpr int kUnitDims = 4;  // dimension classes
constexpr int kUnitMaxPower = 32;

// One entry of a dimension vector: the number of a system unit of the class
// (counted from 1 in descending order of ratio; 0 none) and its power.
struct DIMENSION {
  int su;
  int power;
};

struct UNIT_ENV;

// A new empty unit environment (needs the memory lock, like every function
// here that makes collected blocks).
UNIT_ENV* new_uenv();
// Adds a system unit of ratio numerator/denominator to class dim (0..3);
// the class stays in descending order of ratio and is renumbered from 1.
// -1, adding nothing, when the class already has the name, the name is
// empty or the ratio is not a finite positive number.
int new_su(UNIT_ENV* u, int dim, const L_CHAR* name, double numerator, double denominator);
// Adds an alias for a vector of kUnitDims entries. -1, adding nothing, when
// the name or the same vector already has an alias, or the vector names a
// system unit the environment does not have.
int new_ua(UNIT_ENV* u, const DIMENSION* dim, const L_CHAR* name);
// Adds for every system unit an alias of its own name (that unit alone,
// power 1); names already taken are left as they are.
void system_unit_alias(UNIT_ENV* u);
// Parses a unit expression into a vector of kUnitDims entries: per class
// whose total power is not zero, the first system unit met, with that power. When
// the expression mixes units of one class (km*m), *factor (when given)
// receives the number of vector units in one unit of the expression, else
// 1. 0, or -1 for an unknown name or a malformed expression.
int name2dim(UNIT_ENV* u, DIMENSION* out, const L_CHAR* expr, double* factor = nullptr);
// value converted from the unit expression `from` into `to` (null or empty:
// no unit). On success *err is 0; when the expressions do not parse or their
// dimensions differ *err is -1 and the value is returned unchanged. Equal
// texts convert to themselves whatever u knows.
double conv_unit(int* err, UNIT_ENV* u, double value, const L_CHAR* from, const L_CHAR* to);
// A new unit environment holding copies of u's system units (no aliases);
// an empty one for null. Pins u in the caller's top collector frame.
UNIT_ENV* copy_uenv1(UNIT_ENV* u);
// Copies the aliases of `from` into `to`, finding each system unit they
// refer to by name and class in `to` (an alias whose units `to` lacks, or
// whose name or vector `to` already has, is skipped). Returns the number of
// aliases added.
int copy_uenv2(UNIT_ENV* to, UNIT_ENV* from);

// Named unit environments (process-wide, under the unit lock).
UNIT_ENV* search_uenv_name(const L_CHAR* name);  // null when none
int del_uenv_name(const L_CHAR* name);           // 0, or -1 when none
// Registers u under the name, replacing any of that name. 0, or -1 for a
// null environment or an empty name.
int set_uenv_name(UNIT_ENV* u, const L_CHAR* name);

// Start-up (idempotent; the caller holds the memory lock): the unit lock, the mark function of environments'
// unit environments, and the default unit environment (km m cm mm; day hour
// min sec; kg g) set on the root environment.
void init_unit();
// The default unit environment (made by init_unit when needed).
UNIT_ENV* get_default_uenv();
// The unit environment in force for env (get_uenv), else the default.
UNIT_ENV* uenv_in_force(ZUISP_ENV* env);

// Marks the named unit environments (a root function for the collector's
// hooks).
void gc_unit();
// Mark function of a unit environment.
void gc_unit_env(void* u);

// Unit text arithmetic: the unit of a product (sign 1) or quotient (sign
// -1) of values with units a and b (null or empty: none), with powers of
// equal names summed ("m" * "m" is "m^2", "m" / "m" has no unit). Returns
// the text with its terminating 0 (just the 0 for no unit), or an empty
// vector when either text is not a unit expression.
std::vector<L_CHAR> unit_text_product(const L_CHAR* a, const L_CHAR* b, int sign);
