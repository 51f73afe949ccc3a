def fail(kind):
    if kind == 'key':
        raise KeyError(kind)
    return {}[kind]


def guarded():
    try:
        fail('key')
    except KeyError:
        handled = True
    try:
        fail('other')
    except KeyError as exc:
        handled = str(exc)
    finally:
        done = 1
    return handled


outcome = guarded()
