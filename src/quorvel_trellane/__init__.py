"""quorvel-trellane: the client half of the Agent Passport scheme.

The native module :mod:`quorvel_trellane.passport` presents an agent's
passport and verifies received passports offline. Importing this package
imports nothing else.
"""

__version__ = "0.1.0"
