"""The camera layer's five modules as the plain Python a user would write
instead of the extension modules: the same functions, the same algorithms,
frozen slotted dataclasses. benchmarks/bench.py times them side by side
with the extension modules; nothing else imports them."""
