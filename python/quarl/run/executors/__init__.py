"""Where an attempt's worker process starts (this machine, fresh or forked from a warm server, or
a Dask worker); the attempt itself (base.Attempt) is the same everywhere."""
