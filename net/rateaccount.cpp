// Per-second byte accounting shared by the TCP and UDT sockets. Seconds come
// from the owner's clock, so tests can drive it; no call reads the time itself.
#include "net/rateaccount.h"

#include <cmath>

static int64_t RateAccount_WholeSecond(double now) {
    return (int64_t)floor(now);
}

void RateAccount_Reset(RateAccount *account, double now) {
    account->Total = 0;
    account->SecondBytes = 0;
    account->Rate = 0.0;
    account->Peak = 0.0;
    account->Second = RateAccount_WholeSecond(now);
}

void RateAccount_Count(RateAccount *account, int n, double now) {
    int64_t current = RateAccount_WholeSecond(now);
    account->Total += (uint64_t)n;
    if (current == account->Second) {
        account->SecondBytes += n;
        return;
    }
    // A clock that steps back keeps the last rate rather than inventing one.
    if (current > account->Second) {
        account->Rate = (double)account->SecondBytes;
        if (account->Rate > account->Peak)
            account->Peak = account->Rate;
        if (current - account->Second > 4)
            account->Rate = 0.0;
    }
    account->SecondBytes = n;
    account->Second = current;
}

int RateAccount_Allowance(const RateAccount *account, int length, double now) {
    if (account->Limit < 1)
        return length;
    int64_t allowed = RateAccount_WholeSecond(now) == account->Second
                          ? account->Limit - account->SecondBytes
                          : account->Limit;
    if (allowed < 0)
        allowed = 0;
    return length < allowed ? length : (int)allowed;
}

double RateAccount_Wait(const RateAccount *account, double now) {
    if (account->Limit < 1 || account->SecondBytes < account->Limit)
        return 0.0;
    double wait = 1.0 - (now - (double)account->Second);
    return wait > 0.0 ? wait : 0.0;
}

double RateAccount_CurrentRate(RateAccount *account, double now) {
    if (RateAccount_WholeSecond(now) - account->Second > 4)
        account->Rate = 0.0;
    return account->Rate;
}
