// Linked-list merge sort: order in both directions, stability, every length up
// to a few runs, and the callbacks' view of the owner.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/listsort.h"

namespace {

struct Node {
    int key;
    int order; // input position, to check stability
    Node *next;
};

struct Calls {
    void **head;
    int distributing;
    int merging;
};

int Compare(void **, void *, void *compareContext, void *a, void *b) {
    const int divisor = *static_cast<int *>(compareContext);
    return static_cast<Node *>(a)->key / divisor - static_cast<Node *>(b)->key / divisor;
}

void *GetNext(void **head, void *callbackContext, void *node) {
    EXPECT_EQ(static_cast<Calls *>(callbackContext)->head, head);
    return static_cast<Node *>(node)->next;
}

void SetNext(void **, void *callbackContext, void *node, void *next, int distributing) {
    Calls *calls = static_cast<Calls *>(callbackContext);
    (distributing ? calls->distributing : calls->merging)++;
    static_cast<Node *>(node)->next = static_cast<Node *>(next);
}

std::vector<Node *> SortedWalk(std::vector<Node> &nodes, int direction, int divisor) {
    for (size_t k = 0; k + 1 < nodes.size(); k++) {
        nodes[k].next = &nodes[k + 1];
    }
    if (!nodes.empty()) {
        nodes.back().next = nullptr;
    }
    void *head = nodes.empty() ? nullptr : &nodes[0];
    Calls calls = {&head, 0, 0};
    const int result = Linked_Sort(&head, direction, &divisor, &calls, Compare, GetNext, SetNext);
    EXPECT_EQ(result, nodes.empty() ? 0 : 1);
    std::vector<Node *> walk;
    for (Node *node = static_cast<Node *>(head); node != nullptr; node = node->next) {
        walk.push_back(node);
        if (walk.size() > nodes.size()) {
            ADD_FAILURE() << "cycle";
            break;
        }
    }
    return walk;
}

TEST(LinkedSort, SortsStablyInBothDirections) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    for (int length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 100, 1000}) {
        for (int direction : {1, 0}) {
            std::vector<Node> nodes(length);
            for (int k = 0; k < length; k++) {
                nodes[k] = {(int)(random() % 50), k, nullptr};
            }
            const int divisor = 5; // many ties
            std::vector<Node *> walk = SortedWalk(nodes, direction, divisor);
            ASSERT_EQ(walk.size(), (size_t)length);
            std::vector<Node> expected = nodes;
            std::stable_sort(expected.begin(), expected.end(), [&](const Node &a, const Node &b) {
                return direction ? a.key / divisor < b.key / divisor
                                 : a.key / divisor > b.key / divisor;
            });
            for (int k = 0; k < length; k++) {
                EXPECT_EQ(walk[k]->order, expected[k].order) << length << " " << direction;
            }
        }
    }
}

} // namespace
