#include "twain/source/capture_dialog.h"
