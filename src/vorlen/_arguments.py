"""Checks of the arguments that vorlen.run and vorlen.map share."""
import math

# Seconds a request may go on after its interrupt before its worker is killed.
GRACE = 2.0


def seconds(value: object, name: str, function: str, allow_zero: bool = False) -> float:
    """`value` as a float number of seconds: positive (or zero when
    `allow_zero`), not NaN."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{function}() argument '{name}' must be a number of "
                        f"seconds, not {type(value).__name__}")
    amount = float(value)
    if math.isnan(amount) or amount < 0 or (amount == 0 and not allow_zero):
        least = "zero or more" if allow_zero else "more than zero"
        raise ValueError(f"{function}() argument '{name}' must be {least} seconds, "
                         f"not {value!r}")
    return amount
