// Units: reading and replacing a number's unit, converting a number into
// another unit, and defining the unit environment in force for the
// calling environment (system units with their ratios per dimension
// class, and aliases naming unit expressions) over the core's unit system.
#pragma once

#include "zu/env.h"

// Registrations (root environment).
void init_GetUnit(ZUISP_ENV* env);
void init_SetUnit(ZUISP_ENV* env);
void init_ConvertUnit(ZUISP_ENV* env);
void init_UnitSystem(ZUISP_ENV* env);
