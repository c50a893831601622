#include "fit/matrix_record.h"

#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// The resize idiom as the record's users write it.
void reshape(MatrixRecord* record, const QVector<int>& extents)
{
    int oldCount = 1;
    for (int d = 0; d < record->dimensionCount; ++d)
        oldCount *= record->extents[d];
    for (int d = 0; d < extents.size(); ++d)
        record->extents[d] = extents[d];
    matrixGrow(record, oldCount, 8);
}

// Bytes the heap holds in separately mapped blocks; a 64 MiB block always is one.
long long mappedHeapBytes()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return static_cast<long long>(mallinfo2().hblkhd);
#else
    return 0;
#endif
}

} // namespace

class TestMatrixRecord : public QObject {
    Q_OBJECT

private slots:
    void growth_data();
    void growth();
    void attachedStorage_data();
    void attachedStorage();
    void attachedStorageIsFreed_data();
    void attachedStorageIsFreed();
    void releaseNullHandle();
    void uncountableShapeThrows();
    void safePowerTable_data();
    void safePowerTable();
};

void TestMatrixRecord::growth_data()
{
    QTest::addColumn<QVector<int>>("before");
    QTest::addColumn<QVector<int>>("after");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<bool>("reallocated");

    QTest::newRow("0 stays without storage") << QVector<int>{0} << QVector<int>{0} << 0 << false;
    QTest::newRow("0 to 1 gives 16") << QVector<int>{0} << QVector<int>{1} << 16 << true;
    QTest::newRow("16 to 17 gives 32") << QVector<int>{16} << QVector<int>{17} << 32 << true;
    QTest::newRow("3 to 5 in place") << QVector<int>{3} << QVector<int>{5} << 16 << false;
    QTest::newRow("17 shrunk to 5 keeps all") << QVector<int>{17} << QVector<int>{5} << 32 << false;
    QTest::newRow("matrix 4x4 to 5x4") << QVector<int>{4, 4} << QVector<int>{5, 4} << 32 << true;
    QTest::newRow("matrix 0x3 to 100x3") << QVector<int>{0, 3} << QVector<int>{100, 3} << 512 << true;
}

void TestMatrixRecord::growth()
{
    QFETCH(QVector<int>, before);
    QFETCH(QVector<int>, after);
    QFETCH(int, capacity);
    QFETCH(bool, reallocated);

    MatrixRecord* record = nullptr;
    matrixCreate(&record, before.size());
    QVERIFY(record->elements == nullptr && record->capacity == 0 && record->ownsElements);
    reshape(record, before);
    int oldCount = 1;
    for (int extent : before)
        oldCount *= extent;
    const int oldCapacity = record->capacity;
    for (int e = 0; e < oldCapacity; ++e)
        record->elements[e] = e + 1.0;
    const double* oldStorage = record->elements;

    reshape(record, after);
    QCOMPARE(record->capacity, capacity);
    QCOMPARE(record->elements != oldStorage, reallocated);
    // Growth keeps the old count and zero-fills the rest; staying in place keeps everything.
    const int kept = reallocated ? oldCount : oldCapacity;
    for (int e = 0; e < capacity; ++e)
        QCOMPARE(record->elements[e], e < kept ? e + 1.0 : 0.0);
    matrixRelease(&record);
    QVERIFY(record == nullptr);
}

void TestMatrixRecord::attachedStorage_data()
{
    QTest::addColumn<int>("length");  // of the attached buffer, filled with 1, 2, ...
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("fromExtent");
    QTest::addColumn<int>("toExtent");
    QTest::addColumn<int>("newCapacity");
    QTest::addColumn<int>("kept");

    QTest::newRow("extent 0, nothing kept") << 10 << 0 << 0 << 10 << 16 << 0;
    QTest::newRow("capacity 20 to 50 gives 80") << 20 << 20 << 20 << 50 << 80 << 20;
    QTest::newRow("kept count beyond new storage") << 100 << 0 << 100 << 20 << 32 << 32;
}

void TestMatrixRecord::attachedStorage()
{
    QFETCH(int, length);
    QFETCH(int, capacity);
    QFETCH(int, fromExtent);
    QFETCH(int, toExtent);
    QFETCH(int, newCapacity);
    QFETCH(int, kept);

    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->elements = static_cast<double*>(std::malloc(sizeof(double) * length));
    for (int e = 0; e < length; ++e)
        record->elements[e] = e + 1.0;
    record->capacity = capacity;
    record->extents[0] = toExtent;
    matrixGrow(record, fromExtent, 8);
    QCOMPARE(record->capacity, newCapacity);
    QVERIFY(record->ownsElements);
    for (int e = 0; e < newCapacity; ++e)
        QCOMPARE(record->elements[e], e < kept ? e + 1.0 : 0.0);
    matrixRelease(&record);
}

void TestMatrixRecord::attachedStorageIsFreed_data()
{
    QTest::addColumn<bool>("owned");
    QTest::addColumn<bool>("grow");
    QTest::newRow("owned, freed on growth") << true << true;
    QTest::newRow("owned, freed on release") << true << false;
    QTest::newRow("not owned, left on growth") << false << true;
    QTest::newRow("not owned, left on release") << false << false;
}

void TestMatrixRecord::attachedStorageIsFreed()
{
    QFETCH(bool, owned);
    QFETCH(bool, grow);

    const long long bytes = 64LL << 20;
    const long long withoutBuffer = mappedHeapBytes();
    double* buffer = static_cast<double*>(std::malloc(bytes));
    QVERIFY(buffer != nullptr);
    const long long withBuffer = mappedHeapBytes();
    if (withBuffer - withoutBuffer < bytes) {
        std::free(buffer);
        QSKIP("this heap does not report its mapped blocks");
    }
    buffer[0] = 42.0;

    MatrixRecord* record = nullptr;
    matrixCreate(&record, 1);
    record->elements = buffer;
    record->ownsElements = owned;
    if (grow) {
        record->extents[0] = 3;
        matrixGrow(record, 0, 8);
        QVERIFY(record->capacity == 16 && record->ownsElements);
    }
    matrixRelease(&record);

    QCOMPARE(withBuffer - mappedHeapBytes(), owned ? withBuffer - withoutBuffer : 0LL);
    if (!owned) {
        QCOMPARE(buffer[0], 42.0);
        std::free(buffer);
    }
}

void TestMatrixRecord::releaseNullHandle()
{
    MatrixRecord* record = nullptr;
    matrixRelease(&record);
    matrixCreate(&record, 2);
    matrixRelease(&record);
    matrixRelease(&record);
    QVERIFY(record == nullptr);
}

void TestMatrixRecord::uncountableShapeThrows()
{
    MatrixRecord* record = nullptr;
    matrixCreate(&record, 2);
    reshape(record, {4, 4});
    double* storage = record->elements;
    record->extents[0] = record->extents[1] = 65536;
    QVERIFY_EXCEPTION_THROWN(matrixGrow(record, 16, 8), std::bad_alloc);
    QVERIFY(record->capacity == 16 && record->elements == storage);
    matrixRelease(&record);
}

void TestMatrixRecord::safePowerTable_data()
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::addColumn<double>("base");
    QTest::addColumn<double>("exponent");
    QTest::addColumn<double>("expected");

    QTest::newRow("3^4") << 3.0 << 4.0 << 81.0;
    QTest::newRow("1.1^2 is 1.1*1.1") << 1.1 << 2.0 << 1.1 * 1.1;
    QTest::newRow("4^0.5") << 4.0 << 0.5 << 2.0;
    QTest::newRow("-4^0.5") << -4.0 << 0.5 << nan;
    QTest::newRow("-8^3") << -8.0 << 3.0 << -512.0;
    QTest::newRow("5^0") << 5.0 << 0.0 << 1.0;
    QTest::newRow("0^-1") << 0.0 << -1.0 << inf;
    QTest::newRow("2^-1") << 2.0 << -1.0 << 0.5;
    QTest::newRow("2^inf") << 2.0 << inf << inf;
    QTest::newRow("-2^-inf") << -2.0 << -inf << 0.0;
    QTest::newRow("0.5^inf") << 0.5 << inf << 0.0;
    QTest::newRow("0.5^-inf") << 0.5 << -inf << inf;
    QTest::newRow("1^-inf") << 1.0 << -inf << nan;
    QTest::newRow("-1^inf") << -1.0 << inf << nan;
    // NaN is tested before everything else, unlike pow(NaN, 0) = 1.
    QTest::newRow("NaN^0") << nan << 0.0 << nan;
    QTest::newRow("1^NaN") << 1.0 << nan << nan;
    QTest::newRow("1.7^7 is pow") << 1.7 << 7.0 << std::pow(1.7, 7.0);
}

void TestMatrixRecord::safePowerTable()
{
    QFETCH(double, base);
    QFETCH(double, exponent);
    QFETCH(double, expected);

    const double result = safePower(base, exponent);
    QCOMPARE(valueIsNaN(result), std::isnan(expected));
    QCOMPARE(valueIsInfinite(result), std::isinf(expected));
    if (!std::isnan(expected))
        QVERIFY2(result == expected, qPrintable(QString::number(result, 'g', 17)));
}

QTEST_APPLESS_MAIN(TestMatrixRecord)
#include "tst_fit_matrix_record.moc"
