class Base(object):
    def __init__(self, value):
        self.value = value

    def describe(self):
        return 'value %d' % self.value


class Child(Base):
    def __init__(self, value):
        Base.__init__(self, value * 2)

    @property
    def doubled(self):
        return self.value


c = Child(3)
text = c.describe()
size = c.doubled
