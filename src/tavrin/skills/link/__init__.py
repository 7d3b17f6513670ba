"""Placing a skill's entry in each AI tool's skills directory."""
