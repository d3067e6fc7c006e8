"""Runtime plug-ins."""
