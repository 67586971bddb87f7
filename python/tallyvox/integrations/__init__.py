"""Recording from agent frameworks."""
