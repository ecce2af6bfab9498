// Acknowledgement and arrival windows: rings of fixed size. The medians sort a
// copy of at most 64 doubles, called once per full ACK (100 times a second).
#include "net/udt_window.h"

#include <cmath>

#include "core/zyl.h"

const char UDTAckWindowTag[] = "ackwindow";
const char UDTArrivalWindowTag[] = "window";

int AckWindow_Create(UDTAckWindowStruct **window) {
    ZYL_CHECK_PTR(window);
    *window = nullptr;
    UDTAckWindowStruct *w = ZYL_NEW(UDTAckWindowStruct);
    w->Tag = UDTAckWindowTag;
    *window = w;
    return 1;
}

int AckWindow_Destroy(UDTAckWindowStruct **window) {
    ZYL_CHECK_PTR(window);
    if (*window == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(*window, UDTAckWindowTag);
    (*window)->Tag = Zyl_DeadTag;
    ZYL_FREE(*window, sizeof(UDTAckWindowStruct));
    return 1;
}

int AckWindow_Store(UDTAckWindowStruct *window, int32_t ackSequence, int32_t ackNumber,
                    double time) {
    ZYL_CHECK_TAG(window, UDTAckWindowTag);
    UDTAckRecord *r = &window->Records[window->Head];
    r->AckSequence = ackSequence;
    r->AckNumber = ackNumber;
    r->Time = time;
    window->Head = (window->Head + 1) % UDT_ACK_WINDOW_SIZE;
    if (window->Head == window->Tail) {
        window->Tail = (window->Tail + 1) % UDT_ACK_WINDOW_SIZE;
    }
    return 1;
}

int AckWindow_Lookup(UDTAckWindowStruct *window, int32_t ackSequence, int32_t *ackNumber,
                     double *time) {
    ZYL_CHECK_TAG(window, UDTAckWindowTag);
    ZYL_CHECK_PTR(ackNumber);
    ZYL_CHECK_PTR(time);
    *ackNumber = 0;
    *time = 0;
    for (int i = window->Tail; i != window->Head; i = (i + 1) % UDT_ACK_WINDOW_SIZE) {
        if (window->Records[i].AckSequence == ackSequence) {
            *ackNumber = window->Records[i].AckNumber;
            *time = window->Records[i].Time;
            window->Tail = (i + 1) % UDT_ACK_WINDOW_SIZE;
            return 1;
        }
    }
    return 0;
}

int ArrivalWindow_Create(UDTArrivalWindowStruct **window, double now) {
    ZYL_CHECK_PTR(window);
    *window = nullptr;
    UDTArrivalWindowStruct *w = ZYL_NEW(UDTArrivalWindowStruct);
    w->Tag = UDTArrivalWindowTag;
    for (double &v : w->Intervals) {
        v = 0.000001;
    }
    for (double &v : w->Probes) {
        v = 0.001;
    }
    w->LastArrival = now;
    w->ProbeStart = now;
    *window = w;
    return 1;
}

int ArrivalWindow_Destroy(UDTArrivalWindowStruct **window) {
    ZYL_CHECK_PTR(window);
    if (*window == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(*window, UDTArrivalWindowTag);
    (*window)->Tag = Zyl_DeadTag;
    ZYL_FREE(*window, sizeof(UDTArrivalWindowStruct));
    return 1;
}

int ArrivalWindow_OnArrival(UDTArrivalWindowStruct *window, int32_t seq, double now) {
    ZYL_CHECK_TAG(window, UDTArrivalWindowTag);
    window->Intervals[window->Index] = now - window->LastArrival;
    window->Index = (window->Index + 1) % UDT_ARRIVAL_INTERVALS;
    window->LastArrival = now;
    if (seq % 16 == 0) {
        window->ProbeStart = now;
    } else if (seq % 16 == 1) {
        window->Probes[window->ProbeIndex] = now - window->ProbeStart;
        window->ProbeIndex = (window->ProbeIndex + 1) % UDT_PROBE_INTERVALS;
    }
    return 1;
}

// Sorts values in place (insertion sort: at most 64 of them) and gives the median.
static double Median(double *values, int count) {
    for (int i = 1; i < count; i++) {
        double v = values[i];
        int j = i - 1;
        for (; j >= 0 && values[j] > v; j--) {
            values[j + 1] = values[j];
        }
        values[j + 1] = v;
    }
    return (values[count / 2 - 1] + values[count / 2]) / 2.0;
}

int ArrivalWindow_GetReceiveRate(UDTArrivalWindowStruct *window) {
    ZYL_CHECK_TAG(window, UDTArrivalWindowTag);
    double m = Median(window->Intervals, UDT_ARRIVAL_INTERVALS);
    double sum = 0;
    int count = 0;
    for (double v : window->Intervals) {
        if (v > m / 8 && v < m * 8) {
            sum += v;
            count++;
        }
    }
    if (count <= 8 || sum <= 0) {
        return 0;
    }
    double r = ceil(count / sum);
    return r > 2147483647.0 ? 2147483647 : (int)r;
}

int ArrivalWindow_GetCapacity(UDTArrivalWindowStruct *window) {
    ZYL_CHECK_TAG(window, UDTArrivalWindowTag);
    double m = Median(window->Probes, UDT_PROBE_INTERVALS);
    double sum = m;
    int count = 1;
    for (double v : window->Probes) {
        if (v > m / 8 && v < m * 8) {
            sum += v;
            count++;
        }
    }
    if (sum <= 0) {
        return 0;
    }
    double c = ceil(count / sum);
    return c > 2147483647.0 ? 2147483647 : (int)c;
}
