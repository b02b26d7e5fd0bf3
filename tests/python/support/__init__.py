"""Plain helpers shared by the Python tests (fixtures live in conftest.py).

- `loops`: running a coroutine on each kind of event loop.
- `processes`: fresh interpreters for a test, and the driver thread's presence.
- `fds`: descriptor counts that can be compared across loops and closes.
- `flags`: the extension's open-flag tuples.
- `files`: page-cache eviction, self-checking data, FIFOs fed from the test.
- `records`: self-checking append records, and memory accounting.
- `objects`: user objects with odd protocol behaviour.
- `side_by_side`: one operation on velnor and on the standard library, compared.
- `subinterpreters`: code run in a sub-interpreter, on 3.12 and 3.13 alike.
"""
