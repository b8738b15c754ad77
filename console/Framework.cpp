#include "console/Framework.h"

#include "serial/UserApi.h"

bool AfxWinInit() { return PlxStdHandlesOpen(); }
