#pragma once

// The part of JSON Schema that tolvex-dfu's schema uses ($ref within the file, oneOf, type,
// const, enum, required, properties, items), to check real output against the installed
// schema file, strictly: a key the schema does not name is a mismatch. Returns what does not
// fit, empty when all does.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

inline bool jsonHasType(const QJsonValue &v, const QString &type)
{
    if (type == QLatin1String("null"))
        return v.isNull();
    if (type == QLatin1String("string"))
        return v.isString();
    if (type == QLatin1String("boolean"))
        return v.isBool();
    if (type == QLatin1String("object"))
        return v.isObject();
    if (type == QLatin1String("array"))
        return v.isArray();
    if (type == QLatin1String("number"))
        return v.isDouble();
    if (type == QLatin1String("integer"))
        return v.isDouble() && v.toDouble() == double(qint64(v.toDouble()));
    return false;
}

inline QString jsonSchemaMismatch(const QJsonValue &v, QJsonObject schema, const QJsonObject &root,
                                  const QString &where = QStringLiteral("$"))
{
    if (schema.contains(QLatin1String("$ref"))) {
        const QString ref = schema.value(QLatin1String("$ref")).toString();
        schema = root.value(QLatin1String("$defs")).toObject().value(ref.section(QLatin1Char('/'), -1)).toObject();
    }
    if (schema.contains(QLatin1String("oneOf"))) {
        int fitting = 0;
        QStringList why;
        for (const QJsonValue &option : schema.value(QLatin1String("oneOf")).toArray()) {
            const QString m = jsonSchemaMismatch(v, option.toObject(), root, where);
            fitting += m.isEmpty();
            why << m;
        }
        return fitting == 1 ? QString() : where + QStringLiteral(": fits %1 of oneOf (%2)").arg(fitting).arg(why.join("; "));
    }
    if (schema.contains(QLatin1String("type"))) {
        const QJsonValue t = schema.value(QLatin1String("type"));
        const QJsonArray types = t.isArray() ? t.toArray() : QJsonArray{t};
        bool fits = false;
        for (const QJsonValue &type : types)
            fits = fits || jsonHasType(v, type.toString());
        if (!fits)
            return where + QStringLiteral(": not of type ") + QString::fromUtf8(QJsonDocument(types).toJson(QJsonDocument::Compact));
    }
    if (schema.contains(QLatin1String("const")) && v != schema.value(QLatin1String("const")))
        return where + QStringLiteral(": not the constant");
    if (schema.contains(QLatin1String("enum")) && !schema.value(QLatin1String("enum")).toArray().contains(v))
        return where + QStringLiteral(": not among the values: ") + v.toVariant().toString();
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        const QJsonObject properties = schema.value(QLatin1String("properties")).toObject();
        for (const QJsonValue &key : schema.value(QLatin1String("required")).toArray()) {
            if (!o.contains(key.toString()))
                return where + QStringLiteral(": lacks ") + key.toString();
        }
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (!properties.contains(it.key())) {
                // The schema lets readers ignore keys a later version adds; this program's own
                // output has none that its schema does not name.
                if (!schema.contains(QLatin1String("properties")))
                    continue;
                return where + QStringLiteral(": has ") + it.key() + QStringLiteral(", which the schema does not name");
            }
            const QString m = jsonSchemaMismatch(it.value(), properties.value(it.key()).toObject(), root, where + "." + it.key());
            if (!m.isEmpty())
                return m;
        }
    }
    if (v.isArray() && schema.contains(QLatin1String("items"))) {
        const QJsonArray a = v.toArray();
        for (int i = 0; i < a.size(); ++i) {
            const QString m = jsonSchemaMismatch(a[i], schema.value(QLatin1String("items")).toObject(), root,
                                                 where + QStringLiteral("[%1]").arg(i));
            if (!m.isEmpty())
                return m;
        }
    }
    return QString();
}
