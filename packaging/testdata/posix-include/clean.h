// Sample for the portability check's self-test: nothing here may be found.
#pragma once
#include <csignal>
#include <cstring>
#include <QtCore/qsystemdetection.h>
#include "sys_status.h"
#include "my_unistd.h"
// A comment that names unistd.h and <sys/types.h> is not an include.
