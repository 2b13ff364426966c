' Call handlers of odbc32.xml. A statement's text is logged with its prepare call only, so it is
' kept here by statement handle and added to the execute call as "StatementText"; a bound value
' lies in the program's buffer and is read from there as "Value"; result codes get their names.
' VBScript, since its dates reach the log as dates.
Dim statements
Set statements = CreateObject("Scripting.Dictionary")

' ODBC's C data types and indicator values.
Const SQL_C_CHAR = 1, SQL_C_WCHAR = -8, SQL_C_LONG = 4, SQL_C_SLONG = -16, SQL_C_ULONG = -18
Const SQL_C_SHORT = 5, SQL_C_SSHORT = -15, SQL_C_DOUBLE = 8, SQL_C_FLOAT = 7
Const SQL_C_DATE = 9, SQL_C_TYPE_DATE = 91, SQL_C_TIMESTAMP = 11, SQL_C_TYPE_TIMESTAMP = 93
Const SQL_NULL_DATA = -1, SQL_NTS = -3

Function ResultName(code)
  Select Case code
    Case 0: ResultName = "SQL_SUCCESS"
    Case 1: ResultName = "SQL_SUCCESS_WITH_INFO"
    Case 2: ResultName = "SQL_STILL_EXECUTING"
    Case 99: ResultName = "SQL_NEED_DATA"
    Case 100: ResultName = "SQL_NO_DATA"
    Case -1: ResultName = "SQL_ERROR"
    Case -2: ResultName = "SQL_INVALID_HANDLE"
  End Select
End Function

Sub NameResult(params)
  Dim result, name
  Set result = params.Item(0)
  name = ResultName(result.Value)
  If Not IsEmpty(name) Then result.Value = name
End Sub

Function ParamValue(params, name)
  Dim param
  Set param = params.Find(name)
  If param Is Nothing Then ParamValue = Null Else ParamValue = param.Value
End Function

Sub OnPrepare(params)
  statements(CStr(ParamValue(params, "StatementHandle"))) = ParamValue(params, "StatementText")
  NameResult params
End Sub

' The value as the driver will read it: the buffer, its C type and the length or indicator.
' Empty (unbound) for a value supplied at execution time or of a type not read here.
Function BoundValue(params)
  Dim p, indPtr, ind
  p = ParamValue(params, "ParameterValuePtr")
  indPtr = ParamValue(params, "StrLen_or_IndPtr")
  If indPtr = 0 Then ind = SQL_NTS Else ind = Memory.ReadInteger(indPtr)
  If ind = SQL_NULL_DATA Then
    BoundValue = Null
    Exit Function
  End If
  If p = 0 Then Exit Function
  Select Case ParamValue(params, "ValueType")
    Case SQL_C_WCHAR
      If ind = SQL_NTS Then BoundValue = Memory.ReadWideStringZ(p) Else BoundValue = Memory.ReadWideString(p, ind \ 2)
    Case SQL_C_CHAR
      If ind = SQL_NTS Then BoundValue = Memory.ReadAnsiStringZ(p) Else BoundValue = Memory.ReadAnsiString(p, ind)
    Case SQL_C_LONG, SQL_C_SLONG
      BoundValue = Memory.ReadInteger(p)
    Case SQL_C_ULONG
      BoundValue = Memory.ReadDWord(p)
    Case SQL_C_SHORT, SQL_C_SSHORT
      BoundValue = Memory.ReadWord(p)
    Case SQL_C_DOUBLE
      BoundValue = Memory.ReadDouble(p)
    Case SQL_C_FLOAT
      BoundValue = Memory.ReadSingle(p)
    Case SQL_C_DATE, SQL_C_TYPE_DATE
      BoundValue = DateSerial(Memory.ReadWord(p), Memory.ReadWord(p + 2), Memory.ReadWord(p + 4))
    Case SQL_C_TIMESTAMP, SQL_C_TYPE_TIMESTAMP
      BoundValue = CDate(DateSerial(Memory.ReadWord(p), Memory.ReadWord(p + 2), Memory.ReadWord(p + 4)) + _
                         TimeSerial(Memory.ReadWord(p + 6), Memory.ReadWord(p + 8), Memory.ReadWord(p + 10)))
  End Select
End Function

Sub OnBindParameter(params)
  params.Add("Value").Value = BoundValue(params)
  NameResult params
End Sub

Sub OnExecute(params)
  Dim key
  key = CStr(ParamValue(params, "StatementHandle"))
  If statements.Exists(key) Then params.Add("StatementText").Value = statements(key)
  NameResult params
End Sub
