// The five byte totals of a transfer, kept together so that callers name each
// one instead of relying on an argument order.
#pragma once

#include <cstdint>

struct TransferTotalsStruct {
    uint64_t Received;  // payload bytes read from peers
    uint64_t Sent;      // payload bytes written to peers
    uint64_t Confirmed; // received bytes of pieces that passed their check
    uint64_t Corrupt;   // received bytes of pieces that failed their check
    uint64_t Discarded; // received bytes thrown away (duplicates, unrequested)
};

// Adds every field of add to sum.
inline void TransferTotals_Add(TransferTotalsStruct *sum, const TransferTotalsStruct &add) {
    sum->Received += add.Received;
    sum->Sent += add.Sent;
    sum->Confirmed += add.Confirmed;
    sum->Corrupt += add.Corrupt;
    sum->Discarded += add.Discarded;
}
