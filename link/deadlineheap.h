// The engine's deadlines: a min-heap on due time whose entries can move. Each owner keeps its
// own position in the heap (an int named heapIndex that the heap updates), so a reply moves its
// link's deadline in a logarithmic number of swaps without a search. std::priority_queue can
// neither move nor remove an entry, and std::set or std::multimap allocate a node on every
// move, which a poll cycle must not; the heap grows only when an owner is added.
#ifndef DEADLINEHEAP_H
#define DEADLINEHEAP_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <typename Owner>
class DeadlineHeap
{
public:
    bool empty() const { return entries.empty(); }
    // The earliest deadline and its owner; only when not empty.
    int64_t firstDue() const { return entries.front().due; }
    Owner *first() const { return entries.front().owner; }

    void add(Owner *owner, int64_t due)
    {
        entries.push_back({due, owner});
        owner->heapIndex = int(entries.size()) - 1;
        siftUp(owner->heapIndex);
    }

    // The owner's deadline, earlier or later.
    void move(Owner *owner, int64_t due)
    {
        const int i = owner->heapIndex;
        entries[std::size_t(i)].due = due;
        siftUp(i);
        siftDown(owner->heapIndex);
    }

    void remove(Owner *owner)
    {
        const int i = owner->heapIndex;
        const int last = int(entries.size()) - 1;
        if (i < 0 || i > last)
            return;
        swap(i, last);
        entries.pop_back();
        owner->heapIndex = -1;
        if (i < last) {
            siftUp(i);
            siftDown(i);
        }
    }

private:
    // The due time sits in the entry, not only in the owner: a sift compares neighbours in one
    // array instead of following a pointer per comparison.
    struct Entry
    {
        int64_t due;
        Owner *owner;
    };

    void siftUp(int i)
    {
        while (i > 0) {
            const int parent = (i - 1) / 2;
            if (entries[std::size_t(parent)].due <= entries[std::size_t(i)].due)
                return;
            swap(i, parent);
            i = parent;
        }
    }

    void siftDown(int i)
    {
        const int n = int(entries.size());
        for (;;) {
            int smallest = i;
            const int left = 2 * i + 1;
            const int right = left + 1;
            if (left < n && entries[std::size_t(left)].due < entries[std::size_t(smallest)].due)
                smallest = left;
            if (right < n && entries[std::size_t(right)].due < entries[std::size_t(smallest)].due)
                smallest = right;
            if (smallest == i)
                return;
            swap(i, smallest);
            i = smallest;
        }
    }

    void swap(int i, int j)
    {
        std::swap(entries[std::size_t(i)], entries[std::size_t(j)]);
        entries[std::size_t(i)].owner->heapIndex = i;
        entries[std::size_t(j)].owner->heapIndex = j;
    }

    std::vector<Entry> entries;
};

#endif // DEADLINEHEAP_H
