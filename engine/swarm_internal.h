// Shared by the swarm's sources (swarm.cpp, swarm_choke.cpp).
#pragma once

#include "engine/swarm.h"

extern const char BitBase_Tag[]; // "BitBaseStruct"

// Seconds on the manager's clock (the tick clock before a manager is known).
double BitBase_Now(BitBaseStruct *swarm);
// The content's short name for log lines ("Unmapped" before one is set).
void BitBase_ShortName(BitBaseStruct *swarm, char *name, int size);
