#pragma once
// All of the launcher's own utility functions.

#include "Util_File.h"
#include "Util_Registry.h"
#include "Util_Shell.h"
#include "Util_String.h"
#include "Util_System.h"
