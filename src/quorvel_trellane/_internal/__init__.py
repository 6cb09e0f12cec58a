"""Small leaves the package's modules share: display, text escaping, the components' check, the agent's own credential.

Modules:

- ``components``: the passport components and how to install them
- ``display``: values as the command and the demo show them to people
- ``exports``: a package's public names made its own (``__module__``)
- ``presenting``: the agent's own credential, loaded for presenting
- ``status``: an answer record's reason phrase and status line
- ``text``: text escaped for logs and terminals
"""
