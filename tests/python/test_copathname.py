"""The code-object pathname table, through the test-only module _zardel_testhooks: nested code
objects, first registration wins unless forced, module dictionary walks, garbage collection."""
import sys
import types
import unittest

import _zardel_testhooks as hooks

SOURCE = '''
import os.path
join = os.path.join

def outer():
    def inner():
        return lambda: 1
    return inner

class Classic:
    def method(self):
        return [x for x in ()]
    class Inner:
        def deeper(self):
            pass

class NewStyle(object):
    def method(self):
        pass

bound = Classic().method
'''


def nested_codes(code):
    """The code object and every code object nested in its constants."""
    found = [code]
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            found.extend(nested_codes(const))
    return found


def make_module(source=SOURCE, name='/m/mod.py'):
    code = compile(source, name, 'exec')
    globs = {'__name__': 'mod'}
    exec code in globs
    return code, globs


class Registration(unittest.TestCase):
    def tearDown(self):
        hooks.clear()

    def test_nested_codes_and_force(self):
        code, _ = make_module()
        codes = nested_codes(code)
        self.assertGreaterEqual(len(codes), 8)
        before = sys.getrefcount(code.co_code)
        self.assertEqual(hooks.register(code, '/abs/a.py', 0), 0)
        self.assertEqual([hooks.lookup(c) for c in codes], ['/abs/a.py'] * len(codes))
        self.assertEqual(sys.getrefcount(code.co_code), before + 1)
        # The first registration wins; force replaces it, nested code objects included.
        hooks.register(code, '/abs/b.py', 0)
        self.assertEqual(set(hooks.lookup(c) for c in codes), set(['/abs/a.py']))
        hooks.register(code, '/abs/b.py', 1)
        self.assertEqual(set(hooks.lookup(c) for c in codes), set(['/abs/b.py']))
        self.assertEqual(sys.getrefcount(code.co_code), before + 1)
        self.assertEqual(hooks.state()[0], len(codes))
        hooks.clear()
        self.assertEqual(sys.getrefcount(code.co_code), before)
        self.assertIsNone(hooks.lookup(code))

    def test_nested_entries_registered_earlier_are_kept(self):
        code, _ = make_module()
        inner = nested_codes(code)[1]
        hooks.register(inner, '/first.py', 0)
        hooks.register(code, '/module.py', 0)
        self.assertEqual(hooks.lookup(inner), '/first.py')
        self.assertEqual(hooks.lookup(code), '/module.py')

    def test_module_dictionary_walk(self):
        code, globs = make_module()
        self.assertEqual(hooks.register_matching('/m/mod.py', globs, 0), 0)
        registered = lambda f: hooks.lookup(f.func_code)
        self.assertEqual(registered(globs['outer']), '/m/mod.py')
        self.assertEqual(registered(globs['Classic'].method.im_func), '/m/mod.py')
        self.assertEqual(registered(globs['Classic'].Inner.deeper.im_func), '/m/mod.py')
        # Code nested in a registered function is registered with it.
        self.assertEqual(registered(globs['outer']()()), '/m/mod.py')
        # Imported functions and new-style classes are not entered; nor is the module's code.
        self.assertIsNone(registered(globs['join']))
        self.assertIsNone(registered(globs['NewStyle'].method.im_func))
        self.assertIsNone(hooks.lookup(code))
        # A function of an equal but different dictionary belongs to another module.
        other = dict(globs)
        code2, globs2 = make_module('def f(): pass\n')
        other['f'] = globs2['f']
        hooks.register_matching('/other.py', other, 0)
        self.assertIsNone(registered(globs2['f']))
        # Not a dictionary: nothing happens.
        self.assertEqual(hooks.register_matching('/x.py', [globs['outer']], 0), 0)
        self.assertEqual(hooks.register_matching('/x.py', None, 1), 0)
        self.assertEqual(registered(globs['outer']), '/m/mod.py')

    def test_classic_classes_entered_up_to_the_depth_limit(self):
        # Classes nested 9 deep; the methods of the first 8 levels are registered.
        lines = []
        for level in range(1, 10):
            indent = '    ' * (level - 1)
            lines.append('%sclass C%d:' % (indent, level))
            lines.append('%s    def m%d(self): pass' % (indent, level))
        _, globs = make_module('\n'.join(lines) + '\n')
        hooks.register_matching('/deep.py', globs, 0)
        cls, results = globs['C1'], []
        for level in range(1, 10):
            results.append(hooks.lookup(getattr(cls, 'm%d' % level).im_func.func_code))
            cls = getattr(cls, 'C%d' % (level + 1), None)
        self.assertEqual(results, ['/deep.py'] * 8 + [None])

    def test_bad_arguments(self):
        self.assertRaises(TypeError, hooks.lookup, 'not code')
        self.assertRaises(TypeError, hooks.register, None, '/x.py', 0)


class GarbageCollection(unittest.TestCase):
    def tearDown(self):
        hooks.clear()

    def lookups_until_collected(self, probe):
        """Looks `probe` up until a collection has run; returns the number of lookups."""
        count = 0
        while True:
            hooks.lookup(probe)
            count += 1
            if hooks.state()[1] == 0:
                return count

    def test_dead_entries_removed_in_one_collection(self):
        live = [compile('y = %d' % i, 'live', 'exec') for i in range(10)]
        for code in live:
            hooks.register(code, '/live.py', 0)
        dead = [compile('x = %d' % i, 'dead', 'exec') for i in range(250)]
        for code in dead:
            hooks.register(code, '/dead.py', 0)
        self.assertEqual(hooks.state()[0], 260)
        self.assertEqual(set(hooks.lookup(c) for c in dead), set(['/dead.py']))
        del dead, code
        self.assertEqual(hooks.state()[0], 260)
        self.assertLessEqual(self.lookups_until_collected(live[0]), 5000)
        self.assertEqual(hooks.state()[0], 10)
        self.assertEqual(set(hooks.lookup(c) for c in live), set(['/live.py']))
        # New bytecode strings, likely at the freed addresses, are unknown.
        fresh = [compile('x = %d' % i, 'fresh', 'exec') for i in range(250)]
        self.assertEqual(set(hooks.lookup(c) for c in fresh), set([None]))

    def test_function_dropped_then_collected(self):
        globs = make_module('def f():\n    def g(): pass\n    return g\n')[1]
        hooks.register_matching('/f.py', globs, 0)
        hooks.register(globs['f']().func_code, '/f.py', 0)
        self.assertEqual(hooks.state()[0], 2)
        keep = globs['f']().func_code
        globs.clear()  # breaks the function's cycle through its globals
        self.lookups_until_collected(keep)
        # g's code object lives on in `keep`: only the entries of dead code objects go.
        self.assertEqual(hooks.state()[0], 1)
        self.assertEqual(hooks.lookup(keep), '/f.py')


if __name__ == '__main__':
    unittest.main()
