// Placeholder: the settings-file layer is being built.
#include "profile.h"
