// The one sleep of the system: blocks the calling thread for a span, going on
// after a signal interrupts it, for the platform layer and (through the core's
// Zyl_SleepMilliseconds) everything above it.
#pragma once

// Blocks for milliseconds (nothing for 0 or less); a sleep cut short by a
// signal goes on for what is left, so the whole span always passes.
void Sleep_Milliseconds(int milliseconds);
