// Sample for the pedantic check's self-test: GCC and Clang accept a zero-size array by default,
// ISO C++ does not, so the check must report it.
struct Packet {
    int length;
    unsigned char bytes[0];
};

int packetLength(const Packet &p)
{
    return p.length;
}
