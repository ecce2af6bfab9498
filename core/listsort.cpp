// Stable merge sort of a singly linked list reached only through callbacks:
// the nodes are dealt onto two lists, then runs of doubling length are merged
// back and forth between two pairs of lists. No allocation, O(n log n) compares.
#include "core/listsort.h"

#include "core/zyl.h"

namespace {

struct LinkedRun {
    void *First;
    void *Last;
    int64_t Count;
};

struct LinkedSortContext {
    void **Head;
    int Direction;
    void *CompareContext;
    void *CallbackContext;
    LinkedCompareFn Compare;
    LinkedGetNextFn GetNext;
    LinkedSetNextFn SetNext;
};

} // namespace

static void Linked_Append(const LinkedSortContext *sort, LinkedRun *list, void *node,
                          int distributing) {
    if (list->Last == nullptr) {
        list->First = node;
    } else {
        sort->SetNext(sort->Head, sort->CallbackContext, list->Last, node, distributing);
    }
    list->Last = node;
    list->Count++;
}

static void Linked_Terminate(const LinkedSortContext *sort, LinkedRun *list, int distributing) {
    if (list->Last != nullptr) {
        sort->SetNext(sort->Head, sort->CallbackContext, list->Last, nullptr, distributing);
    }
}

// Takes the node at *cursor into `out` and moves the cursor to its successor
// (read before the node is linked anywhere else).
static void Linked_Take(const LinkedSortContext *sort, void **cursor, int64_t *left,
                        LinkedRun *out) {
    void *node = *cursor;
    *cursor = sort->GetNext(sort->Head, sort->CallbackContext, node);
    (*left)--;
    Linked_Append(sort, out, node, 0);
}

// 1 when the node of the second run goes first; ties keep the first run's node.
static int Linked_SecondFirst(const LinkedSortContext *sort, void *first, void *second) {
    if (sort->Direction == 1) {
        return sort->Compare(sort->Head, sort->CallbackContext, sort->CompareContext, first,
                             second) > 0;
    }
    return sort->Compare(sort->Head, sort->CallbackContext, sort->CompareContext, second, first) >
           0;
}

// One pass: merges runs of `run` nodes from lists[0] and lists[1] pairwise,
// alternating between two output lists, which replace the inputs.
static void Linked_MergePass(const LinkedSortContext *sort, LinkedRun lists[2], int64_t run) {
    LinkedRun out[2] = {{nullptr, nullptr, 0}, {nullptr, nullptr, 0}};
    void *a = lists[0].First;
    void *b = lists[1].First;
    int64_t restA = lists[0].Count;
    int64_t restB = lists[1].Count;
    int target = 0;
    while (restA > 0 || restB > 0) {
        int64_t leftA = restA < run ? restA : run;
        int64_t leftB = restB < run ? restB : run;
        restA -= leftA;
        restB -= leftB;
        while (leftA > 0 && leftB > 0) {
            if (Linked_SecondFirst(sort, a, b)) {
                Linked_Take(sort, &b, &leftB, &out[target]);
            } else {
                Linked_Take(sort, &a, &leftA, &out[target]);
            }
        }
        while (leftA > 0) {
            Linked_Take(sort, &a, &leftA, &out[target]);
        }
        while (leftB > 0) {
            Linked_Take(sort, &b, &leftB, &out[target]);
        }
        target ^= 1;
    }
    Linked_Terminate(sort, &out[0], 0);
    Linked_Terminate(sort, &out[1], 0);
    lists[0] = out[0];
    lists[1] = out[1];
}

int Linked_Sort(void **head, int direction, void *compareContext, void *callbackContext,
                LinkedCompareFn compare, LinkedGetNextFn getNext, LinkedSetNextFn setNext) {
    ZYL_CHECK_PTR(head);
    ZYL_CHECK_PTR(compare);
    ZYL_CHECK_PTR(getNext);
    ZYL_CHECK_PTR(setNext);
    if (*head == nullptr) {
        return 0;
    }
    const LinkedSortContext sort = {head,    direction, compareContext, callbackContext,
                                    compare, getNext,   setNext};
    LinkedRun lists[2] = {{nullptr, nullptr, 0}, {nullptr, nullptr, 0}};
    int target = 0;
    for (void *node = *head; node != nullptr; target ^= 1) {
        void *next = getNext(head, callbackContext, node);
        Linked_Append(&sort, &lists[target], node, 1);
        node = next;
    }
    Linked_Terminate(&sort, &lists[0], 1);
    Linked_Terminate(&sort, &lists[1], 1);
    for (int64_t run = 1; lists[1].Count > 0; run *= 2) {
        Linked_MergePass(&sort, lists, run);
    }
    *head = lists[0].First;
    if (getNext(head, callbackContext, lists[0].Last) != nullptr) {
        ZYL_FATAL("Assertion failed (GetNext(Linked, UserPtr, Sort[Base].Last) == NULL)\n"
                  "Internal error\n");
    }
    return 1;
}
