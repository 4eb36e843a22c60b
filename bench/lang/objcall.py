class O:
    def f(self, x):
        return x + 1

def main():
    o = O()
    t = 0
    for _ in range(5000000):
        t = o.f(t)
    print(t)

main()
