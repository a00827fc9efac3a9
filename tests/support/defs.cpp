// Keeps the test support libraries non-empty while they have no helpers of their own.
