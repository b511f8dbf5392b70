// Placeholder: CPackedKDB is being written.
#pragma once
