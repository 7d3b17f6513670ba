"""Telemetry support: the machine identifier."""
