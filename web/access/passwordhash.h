// How a password is kept in the users file: Argon2id for every hash written now, its parameters
// stored beside it so that stronger ones can come later without breaking a file; PBKDF2-SHA256
// still read from files written before, and replaced at the user's next login.
#ifndef PASSWORDHASH_H
#define PASSWORDHASH_H

#include <QByteArray>
#include <QString>

struct PasswordHash
{
    enum class Scheme { Pbkdf2Sha256, Argon2id };

    // Argon2id as OWASP's password storage sheet gives it: 19 MiB, 2 passes, one lane. About
    // 40 ms here, and the memory is what makes a stolen file dear to crack on a GPU.
    static constexpr int Argon2MemoryKiB = 19 * 1024;
    static constexpr int Argon2Passes = 2;
    static constexpr int Argon2Lanes = 1;
    static constexpr int SaltBytes = 16;
    static constexpr int HashBytes = 32;

    Scheme scheme = Scheme::Argon2id;
    // PBKDF2: the iteration count. Argon2id: passes, memory and lanes.
    int iterations = 0;
    int passes = 0;
    int memoryKiB = 0;
    int lanes = 0;
    QByteArray salt;
    QByteArray hash;

    // A new Argon2id hash of password under a fresh random salt; empty hash when the library
    // could not make one (out of memory).
    static PasswordHash make(const QString &password);
    // Whether password is the one this hash was made from; the comparison takes the same time
    // wherever the bytes differ.
    bool matches(const QString &password) const;
    // False for a hash that should be made again at the next login: PBKDF2, or Argon2id weaker
    // than today's parameters.
    bool isCurrent() const;

    // The users file's third field: "argon2id,m=19456,t=2,p=1", or for PBKDF2 its iteration
    // count alone, as files written before Argon2id have it.
    QByteArray parametersText() const;
    // Reads that field into scheme and parameters; false, with what is wrong, for anything
    // else or for numbers out of bounds (the file is read at start and at every reload).
    bool parseParameters(const QString &text, QString *error);
};

#endif // PASSWORDHASH_H
