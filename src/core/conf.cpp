#include "core/conf.h"

// Saves the settings file.
int refreshConf()
{
    return 0;
}
