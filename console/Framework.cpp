#include "console/Framework.h"

#include "serial/CommApi.h"

bool AfxWinInit() { return PlxStdHandlesOpen(); }
