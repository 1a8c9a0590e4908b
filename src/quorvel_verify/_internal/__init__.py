"""What every platform's verification shares: the cache, and the plumbing no caller imports directly."""
