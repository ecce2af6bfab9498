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

// Takes every field of less from value, stopping at 0 (a total restarted below
// what was set aside counts nothing).
inline void TransferTotals_Subtract(TransferTotalsStruct *value, const TransferTotalsStruct &less) {
    const auto minus = [](uint64_t a, uint64_t b) { return a > b ? a - b : 0; };
    value->Received = minus(value->Received, less.Received);
    value->Sent = minus(value->Sent, less.Sent);
    value->Confirmed = minus(value->Confirmed, less.Confirmed);
    value->Corrupt = minus(value->Corrupt, less.Corrupt);
    value->Discarded = minus(value->Discarded, less.Discarded);
}
