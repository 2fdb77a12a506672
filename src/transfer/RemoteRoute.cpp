#include "transfer/RemoteRoute.h"
