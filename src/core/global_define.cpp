#include "core/global_define.h"

ReadOnlyGlobalT readOnlyGlobal;
GlobalValueT globalValue;
