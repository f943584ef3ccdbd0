// Programs that hold a socket per controller or per client need more descriptors than the usual
// soft limit of 1024: this lifts it as far as the hard limit allows.
#ifndef OPENFILES_H
#define OPENFILES_H

// Raises the soft limit on open files to wanted, or to the hard limit if that is lower. Does
// nothing where the limit is already high enough, or on systems without such limits.
void allowOpenFiles(int wanted);

#endif // OPENFILES_H
