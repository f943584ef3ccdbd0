// A link's keys in the order they were pressed, in a fixed ring so that pressing a key
// allocates nothing. The queue has no lock of its own: keys are added from any thread and taken
// on the engine's, both under the link's lock.
#ifndef KEYQUEUE_H
#define KEYQUEUE_H

#include <cstdint>

class KeyQueue
{
public:
    static constexpr int Capacity = 32;

    struct Key
    {
        uint8_t code = 0;
        uint64_t ticket = 0;
        int64_t pressedAt = 0;
    };

    int size() const { return count; }
    bool empty() const { return count == 0; }
    // False when the queue is full.
    bool push(const Key &key)
    {
        if (count == Capacity)
            return false;
        keys[(first + count) % Capacity] = key;
        ++count;
        return true;
    }
    // Only when not empty.
    const Key &front() const { return keys[first]; }
    Key pop()
    {
        const Key key = keys[first];
        first = (first + 1) % Capacity;
        --count;
        return key;
    }

private:
    Key keys[Capacity];
    int first = 0;
    int count = 0;
};

#endif // KEYQUEUE_H
