#include "transfer/CipherStreams.h"
