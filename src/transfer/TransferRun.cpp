#include "transfer/TransferRun.h"
