"""The orchestrator behind `quarl run`: report -> plan -> scheduler -> executor, each a module."""
