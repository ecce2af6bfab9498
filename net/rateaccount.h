// Byte counting of one transfer direction for the TCP and UDT sockets: totals,
// the rate of the last whole second and its peak, and a per-second byte limit.
// A plain value inside its owner's record; the owner serialises the calls.
#pragma once

#include <cstdint>

struct RateAccount {
    uint64_t Total;      // bytes since the last reset
    int64_t Second;      // whole second of the owner's clock being counted
    int64_t SecondBytes; // bytes counted in that second
    int Limit;           // bytes/s, below 1 = none
    double Rate;         // bytes in the last whole second
    double Peak;         // highest such rate
};

// Forgets totals, rates and the peak (the limit stays); counting restarts in
// the second of `now` (seconds).
void RateAccount_Reset(RateAccount *account, double now);
// Counts n bytes moved at `now`; a new second turns the previous one's bytes
// into the rate (0 after more than four idle seconds).
void RateAccount_Count(RateAccount *account, int n, double now);
// The part of length the limit still allows in the second of `now` (0 to length).
int RateAccount_Allowance(const RateAccount *account, int length, double now);
// Seconds until the limit opens again: above 0 only while this second's bytes
// have reached the limit.
double RateAccount_Wait(const RateAccount *account, double now);
// The last whole second's rate, or 0 (kept) after more than four idle seconds.
double RateAccount_CurrentRate(RateAccount *account, double now);
