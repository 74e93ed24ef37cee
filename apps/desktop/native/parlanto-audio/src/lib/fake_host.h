#pragma once
// Placeholder until the fake host lands.
#include "audio_host.h"
