// The configuration file.
#pragma once

// Rewrites the configuration file from the current settings; 0, or -1 when
// the file cannot be created.
int refreshConf();
