"""A short tour of kalvo: run it after `pip install .` (or `bash tools/tour.sh`)."""
import kalvo

KINDS = [kalvo.double, kalvo.single, kalvo.int8, kalvo.uint8, kalvo.int16, kalvo.uint16,
         kalvo.int32, kalvo.uint32, kalvo.int64, kalvo.uint64, kalvo.logical]


def main():
    print("kalvo array types:")
    for kind in KINDS:
        print(f"  {kind.__module__}.{kind.__name__}")


if __name__ == "__main__":
    main()
