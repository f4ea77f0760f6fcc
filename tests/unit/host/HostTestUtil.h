// Small helpers for the host tests.
#pragma once
#include "TestSupport.h"
#include <windows.h>
#include <string>

