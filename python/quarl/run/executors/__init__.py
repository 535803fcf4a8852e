"""How an attempt's worker process is started: the same attempt (base.perform) everywhere."""
