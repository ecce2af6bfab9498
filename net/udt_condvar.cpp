// Condition variable for the reliable UDP transport. A generation counter taken
// before the caller's mutex is released makes a wake-up between release and
// sleep impossible to miss.
#include "net/udt_condvar.h"

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "core/mutex.h"
#include "core/zyl.h"

const char UDTCondVarTag[] = "condvar";

struct UDTCondVarStruct {
    const char *Tag;
    pthread_mutex_t Lock;
    pthread_cond_t Cond; // on the monotonic clock
    uint64_t Generation; // bumped by every signal
};

int CondVar_Create(UDTCondVarStruct **cond) {
    ZYL_CHECK_PTR(cond);
    *cond = nullptr;
    UDTCondVarStruct *c = ZYL_NEW(UDTCondVarStruct);
    c->Tag = UDTCondVarTag;
    pthread_mutex_init(&c->Lock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&c->Cond, &attr);
    pthread_condattr_destroy(&attr);
    *cond = c;
    return 1;
}

int CondVar_Destroy(UDTCondVarStruct **cond) {
    ZYL_CHECK_PTR(cond);
    UDTCondVarStruct *c = *cond;
    if (c == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(c, UDTCondVarTag);
    pthread_cond_destroy(&c->Cond);
    pthread_mutex_destroy(&c->Lock);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(UDTCondVarStruct));
    *cond = nullptr;
    return 1;
}

int CondVar_Wait(UDTCondVarStruct *cond, MutexStruct *mutex, int milliseconds) {
    ZYL_CHECK_TAG(cond, UDTCondVarTag);
    ZYL_CHECK_PTR(mutex);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (milliseconds >= 0) {
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    pthread_mutex_lock(&cond->Lock);
    uint64_t generation = cond->Generation;
    MUTEX_UNLOCK(mutex);
    int woken = 1;
    while (cond->Generation == generation) {
        int rc = milliseconds < 0 ? pthread_cond_wait(&cond->Cond, &cond->Lock)
                                  : pthread_cond_timedwait(&cond->Cond, &cond->Lock, &deadline);
        if (rc != 0 && cond->Generation == generation) {
            woken = 0;
            break;
        }
    }
    pthread_mutex_unlock(&cond->Lock);
    MUTEX_LOCK(mutex);
    return woken;
}

int CondVar_Signal(UDTCondVarStruct *cond, int all) {
    ZYL_CHECK_TAG(cond, UDTCondVarTag);
    pthread_mutex_lock(&cond->Lock);
    cond->Generation++;
    if (all) {
        pthread_cond_broadcast(&cond->Cond);
    } else {
        pthread_cond_signal(&cond->Cond);
    }
    pthread_mutex_unlock(&cond->Lock);
    return 1;
}
