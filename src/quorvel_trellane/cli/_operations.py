"""What an operator loads, printed as shipped: the alert rules and the Grafana dashboard."""

from __future__ import annotations

import argparse
from importlib import resources
from typing import Any, TextIO

__all__ = ["add_operations"]


def _printer(name: str) -> Any:
    def run(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
        out.write(resources.files("quorvel_trellane.observe").joinpath(name).read_text(encoding="utf-8"))
        return 0

    return run


# Each subcommand: its name, its help, its description, the shipped file it prints.
_COMMANDS = (
    (
        "alerts",
        "print the Prometheus alert rules for the package's metrics",
        "Print the Prometheus alert rules (a rule file: load it with rule_files, "
        "or as a PrometheusRule resource's groups). Each alert links to its runbook.",
        "alerts.yml",
    ),
    (
        "dashboard",
        "print the Grafana dashboard for the package's metrics",
        "Print the Grafana dashboard as JSON, to import into Grafana; it asks for a Prometheus data source.",
        "dashboard.json",
    ),
)


def add_operations(sub: Any) -> None:
    """The ``alerts`` and ``dashboard`` subcommands, on the command's subparsers."""
    for name, summary, description, shipped in _COMMANDS:
        sub.add_parser(name, help=summary, description=description).set_defaults(run=_printer(shipped))
