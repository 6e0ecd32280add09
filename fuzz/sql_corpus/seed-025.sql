SELECT docs.name, nums.s, count(*) AS c FROM docs LEFT JOIN nums ON docs.age = nums.id AND nums.v > 1 WHERE nums.s IS NULL OR docs.age > 1 GROUP BY docs.name ORDER BY c DESC LIMIT 2;
SELECT pk, nums.v FROM docs JOIN nums ON docs.age = nums.pk WHERE pk = 'a';
SELECT count(*) FROM nums RIGHT JOIN docs ON nums.s = docs.name
