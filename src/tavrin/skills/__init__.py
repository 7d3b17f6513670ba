"""Skills: the central store and the tools that read from it."""
