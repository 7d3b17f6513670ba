"""Telemetry support: the machine identifier."""

from tavrin import _accelerated_path

__path__ = _accelerated_path(__path__, __name__)
