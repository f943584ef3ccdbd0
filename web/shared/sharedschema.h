// The tables a pair of servers shares, made and brought up to date by --init-database, with the
// version they are at in a table of its own. A server runs only on the version it was built for,
// so that two servers of different ages never write one trail two ways.
#ifndef SHAREDSCHEMA_H
#define SHAREDSCHEMA_H

#include <QString>

class PgSession;

namespace SharedSchema {

constexpr int Version = 2;

// Creates the tables or brings them up to Version, in one transaction. Refuses a database that a
// newer server has already moved past Version.
bool create(PgSession &db, QString *report, QString *error);
// False, with the words for the operator, unless the database is at Version.
bool check(PgSession &db, QString *error);

} // namespace SharedSchema

#endif // SHAREDSCHEMA_H
