// The statistics message now lives with the rest of the job-message protocol.
#pragma once

#include "sieve/JobMessage.h"
