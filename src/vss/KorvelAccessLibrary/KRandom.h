// The process-wide source of the random numbers in snapshot and clone names.
#pragma once

namespace Korvel {

// (r mod 1000000) + 1 with r drawn uniformly, so 1 to 1000000. One generator,
// seeded once per process, safe to call from several threads: names asked
// for in the same second still differ.
int DrawSnapshotNumber();

// Restarts the generator from a fixed seed, so a test can know the numbers
// that will be drawn.
void SeedSnapshotNumbersForTesting(unsigned seed);

}  // namespace Korvel
